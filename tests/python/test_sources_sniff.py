"""The engine's sniffing as the package reads inputs: a file, a stream, a compressed file and a
zip member get the same encoding and the same first text, and Python's names for encodings and
paths that are not UTF-8 reach the engine and its messages as the user gave them."""

from __future__ import annotations

import bz2
import gzip
import io
import os
import threading
import zipfile

import pytest

import quorle
from quorle.engine import sources

TEXT = "id,name\n1,café\n2,€\n"
MARKED = "\ufeff" + TEXT

# The input's bytes, the encoding asked for, the name the engine reads by, and the note.
DECISIONS = [
    pytest.param(TEXT.encode("cp1252"), "auto", "cp1252", "byte 13 is not UTF-8", id="auto-cp1252"),
    pytest.param(TEXT.encode(), "auto", "", "", id="auto-utf8"),
    pytest.param(MARKED.encode("utf-16-le"), None, "UTF-16", "", id="mark-utf16"),
    pytest.param(MARKED.encode("utf-32-be"), "auto", "UTF-32", "", id="mark-utf32"),
    pytest.param(MARKED.encode("utf-8"), None, "", "", id="mark-utf8"),
    pytest.param(TEXT.encode("cp1252"), "1252", "cp1252", "", id="python-alias"),
    pytest.param(TEXT.encode(), "u8", "", "", id="python-alias-of-utf8"),
]


def _heads(tmp_path, raw: bytes, encoding: str | None) -> dict[str, sources.Head]:
    plain = tmp_path / "f.csv"
    plain.write_bytes(raw)
    packed = tmp_path / "f.csv.bz2"
    packed.write_bytes(bz2.compress(raw))
    archive = tmp_path / "f.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("f.csv", raw)
    wanted = sources.SNIFF_BYTES
    return {
        "file": sources.open_path(str(plain), wanted, encoding).head,
        "stream": sources.open_stream(io.BytesIO(raw), wanted, encoding).head,
        "bzip2": sources.open_path(str(packed), wanted, encoding).head,
        "member": sources.open_path(f"{archive}:f.csv", wanted, encoding).head,
    }


@pytest.mark.parametrize(("raw", "encoding", "engine", "note"), DECISIONS)
def test_every_kind_of_input_gets_the_same_decision_and_text(tmp_path, raw, encoding, engine, note):
    heads = _heads(tmp_path, raw, encoding)
    assert {kind: head.encoding for kind, head in heads.items()} == dict.fromkeys(heads, engine)
    for kind, head in heads.items():
        assert head.text.decode() == TEXT, kind
        assert head.complete, kind
        assert (note in " ".join(head.notes)) and (bool(head.notes) == bool(note)), kind
    assert heads["bzip2"].compression == "bzip2"
    if encoding not in (None, "auto"):
        assert sources.check_encoding(encoding) == (engine or encoding)


def test_a_path_that_is_not_utf8_is_named_in_the_mark_error(tmp_path):
    path = os.fsdecode(bytes(tmp_path) + b"/caf\xe9.csv")
    with open(path, "wb") as f:
        f.write(MARKED.encode("utf-16-le"))
    with pytest.raises(ValueError) as refused:
        quorle.infer(path, encoding="latin-1")
    assert str(refused.value).startswith(f"{path}: starts with a UTF-16 LE byte order mark")


@pytest.mark.parametrize("as_stream", [False, True], ids=["file", "stream"])
def test_a_head_peeked_further_reads_on_in_the_encoding_chosen(tmp_path, as_stream):
    # A header of one long cell: the sample does not hold its end, so the header is peeked at,
    # and a stream's peeked bytes still reach the pass once, in order.
    name = "x" * (2 * sources.SNIFF_BYTES)
    raw = f"{name}\n1\ncafé\n".encode("cp1252")
    path = tmp_path / "f.csv"
    path.write_bytes(raw)
    result = quorle.infer(io.BytesIO(raw) if as_stream else path, encoding="auto", extras=True)
    assert (result.encoding, result.rows) == ("cp1252", 2)
    assert [c.name for c in result.columns] == [name]
    assert set(result.columns[0].examples["other"]) == {"café"}


HANG_GUARD = 60  # seconds: only so that a hang fails instead of blocking the suite


def test_a_pipe_whose_writer_waits_is_not_waited_for_once_its_first_bytes_tell():
    # Compressed small enough to sit whole in the pipe's buffer.
    text = "".join(f"{i},row{i}\n" for i in range(5000)).encode()
    read_end, write_end = os.pipe()
    opened: list[sources.Source] = []
    with open(read_end, "rb", buffering=0) as reading, open(write_end, "wb") as writing:
        writing.write(gzip.compress(text))
        writing.flush()
        # The writer keeps the pipe open: the head must come from the bytes already there.
        reader = threading.Thread(
            target=lambda: opened.append(sources.open_stream(reading, 4096, None))
        )
        reader.start()
        reader.join(HANG_GUARD)
        assert not reader.is_alive()
    assert (opened[0].head.compression, opened[0].head.text) == ("gzip", text[:4096])
