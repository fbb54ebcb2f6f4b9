"""Files as they are found: compressed, piped, as file objects, in other encodings. Each
must give the counts of the same text saved as plain UTF-8."""

from __future__ import annotations

import bz2
import gzip
import io
import json
import lzma
import os
import pathlib
import subprocess
import sys
import threading
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import pytest
import zstandard

import quorle
from quorle.engine import sources

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite

# Enough rows that the compressed streams cross many of the engine's blocks, with a
# column of every kind and non-ASCII text in the header and the values.
TEXT = "id;prénom;amount;when;note\n" + "".join(
    f"{i};Zoë{i % 7};{'NA' if i % 9 == 0 else i * 1.25};2024-01-{i % 28 + 1:02d};x{i}\n"
    for i in range(60000)
)
PLAIN = TEXT.encode()


def zstd_frames(data: bytes) -> bytes:
    cut = len(data) // 3
    z = zstandard.ZstdCompressor(level=3)
    return z.compress(data[:cut]) + z.compress(data[cut:])


STORED = {
    "gzip": (lambda b: gzip.compress(b, 6), "gzip"),
    "gzip members": (lambda b: gzip.compress(b[:5000]) + gzip.compress(b[5000:]), "gzip"),
    "zstd": (lambda b: zstandard.ZstdCompressor(level=3).compress(b), "zstd"),
    "zstd frames": (zstd_frames, "zstd"),
    "bzip2": (bz2.compress, "bzip2"),
    "bzip2 streams": (lambda b: bz2.compress(b[:99]) + bz2.compress(b[99:]), "bzip2"),
    "xz": (lambda b: lzma.compress(b, preset=1), "xz"),
    # Named .gz, holding plain text: the first bytes decide, never the name.
    "plain named .gz": (lambda b: b, "plain"),
}


def summary(result):
    return (
        result.delimiter,
        result.rows,
        [(c.name, c.counts, c.suggested, c.max_length) for c in result.columns],
    )


@pytest.fixture(scope="module")
def plain_summary(tmp_path_factory):
    path = tmp_path_factory.mktemp("plain") / "f.csv"
    path.write_bytes(PLAIN)
    return summary(quorle.infer(path))


@pytest.mark.parametrize("kind", STORED)
def test_compressed_file_gives_the_counts_of_its_text(tmp_path, plain_summary, kind):
    compress, compression = STORED[kind]
    path = tmp_path / "f.csv.gz"
    path.write_bytes(compress(PLAIN))
    result = quorle.infer(path)
    assert summary(result) == plain_summary
    assert result.compression == compression


@pytest.mark.parametrize("kind", ["gzip", "zstd frames", "xz"])
def test_file_objects_without_a_descriptor_and_pipes_give_the_same_counts(plain_summary, kind):
    data = STORED[kind][0](PLAIN)
    assert summary(quorle.infer(io.BytesIO(data))) == plain_summary
    read_end, write_end = os.pipe()

    def write() -> None:
        with open(write_end, "wb") as out:
            out.write(data)

    writer = threading.Thread(target=write)
    writer.start()
    with open(read_end, "rb") as stream:
        result = quorle.infer(stream)
    writer.join()
    assert summary(result) == plain_summary


def test_a_regular_file_object_is_read_by_its_descriptor(tmp_path, plain_summary):
    path = tmp_path / "f.csv"
    path.write_bytes(PLAIN)
    with open(path, "rb") as f:
        result = quorle.infer(f)
    assert summary(result) == plain_summary
    assert result.path == str(path)


class FailingStream(io.RawIOBase):
    """Gives its first block, then fails as a dropped connection would."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.calls = 0

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        self.calls += 1
        if self.calls > 3:
            raise ConnectionResetError("connection reset by peer")
        return self.data[: max(size, 0)]


@pytest.mark.parametrize(
    ("stream", "error", "message"),
    [
        # A stream that fails after some blocks is never a short count.
        (FailingStream(PLAIN), OSError, "reading the input failed: connection reset"),
        (io.StringIO(TEXT), TypeError, "binary mode"),
        (object(), TypeError, "readable binary file object"),
    ],
)
def test_a_stream_that_fails_or_is_no_stream_raises(stream, error, message):
    with pytest.raises(error, match=message):
        quorle.infer(stream)


GZ = gzip.compress(PLAIN)
XZ = lzma.compress(PLAIN)


def corrupt_middle(data: bytes) -> bytes:
    middle = len(data) // 2
    return data[:middle] + bytes(64) + data[middle + 64 :]


@pytest.mark.parametrize(
    ("stored", "rows", "message"),
    [
        (GZ[:-30], None, r"truncated gzip stream: it ends at byte \d+ of the compressed file"),
        (XZ[: len(XZ) // 2], None, r"truncated xz stream: it ends at byte \d+"),
        (bz2.compress(PLAIN)[:-5], None, "truncated bzip2 stream"),
        (corrupt_middle(GZ), None, r"corrupt gzip stream at byte \d+ of the compressed file"),
        (corrupt_middle(XZ), None, r"corrupt xz stream at byte \d+"),
        (GZ + b"trailing junk", None, r"corrupt gzip stream at byte \d+"),
        # Concatenated whole streams are one text, read to its end.
        (gzip.compress(PLAIN) + gzip.compress(PLAIN.split(b"\n", 1)[1]), 120000, None),
        (XZ + lzma.compress(PLAIN.split(b"\n", 1)[1]), 120000, None),
    ],
)
def test_damaged_and_concatenated_streams(tmp_path, stored, rows, message):
    path = tmp_path / "f.csv.gz"
    path.write_bytes(stored)
    if message is None:
        assert quorle.infer(path).rows == rows
        return
    with pytest.raises(OSError, match=f"^{path}: {message}"):
        quorle.infer(path)
    # Among many files it is a file of its own kind, and the others go on.
    (tmp_path / "good.csv").write_bytes(PLAIN)
    with ThreadPoolExecutor(2) as pool:
        outcome = quorle.infer_many([path, tmp_path / "good.csv"], executor=pool)
    error, good = outcome.files
    assert (error.kind, good.rows) == ("corrupt", 60000)


def codecs_bom(name: str) -> bytes:
    return "\ufeff".encode(name)


# The same table in each encoding; Shift-JIS with "|", whose second bytes include "|".
JAPANESE = "名前|表示|n\n" + "".join(f"ソ{i}|表{i}|{i}\n" for i in range(3000))
LATIN = "name;prix;n\n" + "".join(f"café {i};{i},5 €;{i}\n" for i in range(3000))


@pytest.mark.parametrize(
    ("text", "stored", "encoding"),
    [
        (LATIN, LATIN.encode("cp1252"), "cp1252"),
        (LATIN, LATIN.encode("cp1252"), "auto"),
        (LATIN.replace("€", "¤"), LATIN.replace("€", "¤").encode("latin-1"), "latin-1"),
        (JAPANESE, JAPANESE.encode("shift_jis"), "shift_jis"),
        (JAPANESE, JAPANESE.encode("utf-16"), "utf-16"),
        (JAPANESE, JAPANESE.encode("utf-16"), "auto"),
        (JAPANESE, codecs_bom("utf-16-be") + JAPANESE.encode("utf-16-be"), "auto"),
        (JAPANESE, codecs_bom("utf-16-le") + JAPANESE.encode("utf-16-le"), "auto"),
        (JAPANESE, JAPANESE.encode("utf-32"), "auto"),
        (JAPANESE, gzip.compress(JAPANESE.encode("shift_jis")), "shift_jis"),
        (LATIN, b"\xef\xbb\xbf" + LATIN.encode(), "auto"),
    ],
)
def test_encoded_file_gives_the_names_and_counts_of_its_utf8_text(tmp_path, text, stored, encoding):
    (tmp_path / "utf8.csv").write_bytes(text.encode())
    (tmp_path / "encoded.csv").write_bytes(stored)
    expected = quorle.infer(tmp_path / "utf8.csv")
    result = quorle.infer(tmp_path / "encoded.csv", encoding=encoding)
    assert summary(result)[:2] == summary(expected)[:2]
    assert [(c.name, c.counts) for c in result.columns] == [
        (c.name, c.counts) for c in expected.columns
    ]
    assert len(result.columns) == 3
    auto_fallback = encoding == "auto" and stored == LATIN.encode("cp1252")
    assert any("read as cp1252" in w for w in result.warnings) == auto_fallback


@pytest.mark.parametrize(
    ("encoding", "message"),
    [
        ("IBM037", "not ASCII-compatible.*iconv -f IBM037 -t UTF-8"),
        ("UTF-7", "not ASCII-compatible"),
        ("no-such-encoding", "unknown encoding 'no-such-encoding'"),
        ("", "encoding must be a name"),
    ],
)
def test_unusable_encodings_are_refused_before_reading(tmp_path, encoding, message):
    with pytest.raises(ValueError, match=message):
        quorle.infer(tmp_path / "not read.csv", encoding=encoding)


@pytest.mark.parametrize("spread", [{}, {"jobs": 2}, {"executor": "threads", "chunk_size": 4096}])
def test_a_header_that_does_not_decode_says_where_and_what_to_do(tmp_path, spread):
    path = tmp_path / "latin.csv"
    path.write_bytes("id,prénom\n".encode("latin-1") + b"1,x\n" * 5000)
    with ThreadPoolExecutor(2) as pool, pytest.raises(ValueError) as caught:
        quorle.infer(path, **{k: pool if v == "threads" else v for k, v in spread.items()})
    assert str(caught.value) == (
        f"{path}: the header is not valid UTF-8 at byte 5: give the file's encoding with"
        " --encoding NAME (encoding= in Python), or --encoding auto"
    )


def run(*args: str, **kwargs) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([str(QUORLE), *args], capture_output=True, timeout=HANG_GUARD, **kwargs)


def json_reports(stdout: bytes) -> list[dict]:
    return [json.loads(line) for line in stdout.decode().splitlines()]


@pytest.mark.parametrize("stored", ["plain", "gzip", "zstd"])
def test_stdin_is_read_for_a_dash_and_named_stdin(tmp_path, plain_summary, stored):
    data = {"plain": PLAIN, "gzip": GZ, "zstd": STORED["zstd"][0](PLAIN)}[stored]
    result = run("infer", "--format", "json", "-", input=data)
    assert result.returncode == 0, result.stderr
    (report,) = json_reports(result.stdout)
    assert report["path"] == "<stdin>"
    assert (report["delimiter"], report["rows"]) == plain_summary[:2]
    assert report["compression"] == stored


@pytest.mark.parametrize("many", [[], ["--jobs", "2"]])
def test_stdin_among_files_is_read_in_the_calling_process(tmp_path, many):
    (tmp_path / "a.csv.gz").write_bytes(GZ)
    (tmp_path / "-").write_bytes(b"x,y\n1,2\n")
    args = ["infer", "--format", "json", *many, str(tmp_path / "a.csv.gz"), "-", "./-"]
    result = run(*args, input=XZ, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    reports = json_reports(result.stdout)
    assert [(r["path"], r["rows"], r["compression"]) for r in reports] == [
        (str(tmp_path / "a.csv.gz"), 60000, "gzip"),
        ("<stdin>", 60000, "xz"),
        ("./-", 1, "plain"),
    ]


def test_stdin_named_twice_is_a_usage_error():
    result = run("infer", "-", "-", input=PLAIN)
    assert result.returncode == 2
    assert b"'-' (stdin) can be named only once; a file named - is ./-" in result.stderr


def test_schema_json_says_how_the_file_was_read(tmp_path):
    (tmp_path / "f.csv.xz").write_bytes(lzma.compress(LATIN.encode("cp1252")))
    result = run("schema", "--dialect", "json", "--encoding", "cp1252", "f.csv.xz", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    (table,) = json.loads(result.stdout)["tables"]
    assert (table["delimiter"], table["encoding"], table["compression"]) == (";", "cp1252", "xz")
    assert [c["header"] for c in table["columns"]] == ["name", "prix", "n"]


def test_encoding_auto_on_the_command_line_warns_of_its_choice(tmp_path):
    (tmp_path / "f.csv").write_bytes(LATIN.encode("cp1252"))
    result = run("infer", "--encoding", "auto", "f.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert b"read as cp1252" in result.stderr
    bad = run("infer", "--encoding", "IBM037", "f.csv", cwd=tmp_path)
    assert bad.returncode == 2
    assert b"not ASCII-compatible" in bad.stderr


LINE_ENDS = b"\n" * (256 << 20)


@pytest.mark.parametrize("kind", ["gzip", "zstd", "xz"])
def test_the_first_block_of_a_bomb_is_decompressed_with_a_bound(kind):
    # 256 MiB of line ends in a few hundred KiB: sniffing takes 64 KiB of its text, not all.
    stored = STORED[kind][0](LINE_ENDS)
    tracemalloc.start()
    try:
        head = sources.read_head(io.BytesIO(stored).read, sources.SNIFF_BYTES, None, "bomb")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < len(LINE_ENDS) // 16
    assert (head.compression, head.text, head.complete) == (
        STORED[kind][1],
        b"\n" * sources.SNIFF_BYTES,
        False,
    )


@pytest.fixture(params=["pool", "dask"])
def many_executor(request):
    """None (the default process pool) or a real Dask cluster's executor."""
    return (
        None if request.param == "pool" else request.getfixturevalue("dask_client").get_executor()
    )


def test_many_files_compressed_and_encoded_on_every_executor(
    tmp_path, plain_summary, many_executor
):
    paths = []
    for kind in ("gzip", "zstd frames", "xz"):
        paths.append(tmp_path / f"{kind}.csv")
        paths[-1].write_bytes(STORED[kind][0](PLAIN))
    (tmp_path / "cp1252.csv.bz2").write_bytes(bz2.compress(TEXT.encode("cp1252")))
    many = quorle.infer_many(
        [*paths, tmp_path / "cp1252.csv.bz2"], executor=many_executor, encoding="auto", strict=True
    )
    assert [summary(f) for f in many.files] == [plain_summary] * 4
    assert [(f.compression, f.encoding) for f in many.files] == [
        ("gzip", "utf-8"),
        ("zstd", "utf-8"),
        ("xz", "utf-8"),
        ("bzip2", "cp1252"),
    ]


def test_one_compressed_file_given_an_executor_is_read_whole_here(tmp_path, plain_summary):
    path = tmp_path / "f.csv.gz"
    path.write_bytes(GZ)
    with ThreadPoolExecutor(2) as pool:
        result = quorle.infer(path, executor=pool, chunk_size=4096)
    assert summary(result) == plain_summary
    assert result.warnings == []  # no ranges tried, none failed


@pytest.mark.parametrize("dialect", ["duckdb", "postgres"])
@pytest.mark.parametrize(
    ("name", "stored", "args", "why"),
    [
        ("f.csv.gz", GZ, [], "the file is gzip-compressed"),
        ("f.csv", LATIN.encode("cp1252"), ["--encoding", "cp1252"], "the file is in cp1252"),
        ("-", PLAIN, [], "the input was read from stdin"),
    ],
    ids=["gzip", "cp1252", "stdin"],
)
def test_load_statements_never_read_a_file_otherwise_than_the_pass(
    tmp_path, dialect, name, stored, args, why
):
    if name != "-":
        (tmp_path / name).write_bytes(stored)
    result = run("schema", "--dialect", dialect, "--load", *args, name, input=stored, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    last = result.stdout.decode().strip().splitlines()[-1]
    assert last == (
        f"-- Not loadable with COPY: {why}, which COPY does not read as quorle did;"
        " use quorle load, which reads it as the pass did."
    )
