"""The input-decoding bindings: the shapes the quorle package relies on. A compressed or
transcoded file counts as its plain UTF-8 text, and a damaged one raises OSError naming it."""

import bz2
import gzip
import io
import lzma
import zipfile

import pytest

from quorle.engine import sources

TEXT = "id,café,n\n" + "".join(f"{i},naïve,{'NA' if i % 4 else i}\n" for i in range(20000))

STORED = {
    "gzip": lambda b: gzip.compress(b, 6),
    "gzip members": lambda b: gzip.compress(b[:7777]) + gzip.compress(b[7777:]),
    "bzip2": bz2.compress,
    "xz": lambda b: lzma.compress(b, preset=1),
}


def counts(inf):
    return inf.col_names, inf.get_col_type_candidates(), inf.num_rows


@pytest.fixture
def plain(make_inf, write_csv):
    inf = make_inf(write_csv(raw=TEXT.encode()))
    inf.infer_types()
    return counts(inf)


@pytest.mark.parametrize("name", STORED)
def test_compressed_file_counts_as_its_text(make_inf, write_csv, plain, name):
    stored = STORED[name](TEXT.encode())
    inf = make_inf(write_csv(raw=stored))
    inf._set_input(True, "")
    inf.infer_types()
    assert counts(inf) == plain
    assert inf._input_info() == {"compression": name.split()[0], "bytes_read": len(stored)}
    assert inf._infer_split(2) == "the input is compressed"
    assert counts(inf) == plain


@pytest.mark.parametrize("encoding", ["cp1252", "utf-16", "utf-32"])
def test_transcoded_file_counts_as_its_text(make_inf, write_csv, plain, encoding):
    inf = make_inf(write_csv(raw=gzip.compress(TEXT.encode(encoding))))
    inf._set_input(True, encoding.upper())
    inf.infer_types()
    assert counts(inf) == plain
    assert inf._input_info()["compression"] == "gzip"


def test_off_by_default_a_compressed_file_is_its_bytes(make_inf, write_csv, plain):
    stored = gzip.compress(TEXT.encode())
    inf = make_inf(write_csv(raw=stored))
    inf.infer_types()
    assert inf.num_rows != plain[2]
    assert inf._input_info() == {"compression": "plain", "bytes_read": len(stored)}


@pytest.mark.parametrize(
    ("stored", "message"),
    [
        (gzip.compress(TEXT.encode())[:-20], "truncated gzip stream"),
        (lzma.compress(TEXT.encode())[:-9], "truncated xz stream"),
        (gzip.compress(TEXT.encode()) + b"junk", "corrupt gzip stream at byte"),
    ],
)
def test_damaged_stream_raises_oserror_naming_the_file(make_inf, write_csv, stored, message):
    path = write_csv(raw=stored)
    inf = make_inf(path)
    inf._set_input(True, "")
    with pytest.raises(OSError) as caught:
        inf.infer_types()
    assert str(caught.value).startswith(f"{path}: {message}")


@pytest.mark.parametrize("encoding", ["IBM037", "UTF-7", "no-such-encoding"])
def test_unusable_encoding_is_refused_when_set(make_inf, encoding):
    inf = make_inf()
    with pytest.raises(ValueError, match=encoding):
        inf._set_input(False, encoding)


def zipped(members):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for name in members:
            archive.writestr(name, "a\n")
    return out.getvalue()


BZIP2_BLOCK = bytes.fromhex("314159265359")
ZSTD_FRAME = bytes.fromhex("28b52ffd")
# First bytes and the format a pass finds by them: every magic whole, cut short, and
# look-alikes of plain text.
HEADS = {
    "gzip": (gzip.compress(b"a\n"), "gzip"),
    "gzip magic, other method": (b"\x1f\x8b\x07\x00", "plain"),
    "gzip magic cut": (b"\x1f\x8b", "plain"),
    "zstd": (ZSTD_FRAME + b"\x20\x02\x11\x00\x00a\n", "zstd"),
    "zstd skippable frame": (b"\x5a\x2a\x4d\x18\x00\x00\x00\x00", "zstd"),
    "zstd magic cut": (ZSTD_FRAME[:3], "plain"),
    "xz": (lzma.compress(b"a\n"), "xz"),
    "xz magic cut": (b"\xfd7zXZ", "plain"),
    "bzip2": (bz2.compress(b"a\n"), "bzip2"),
    "bzip2 of nothing": (bz2.compress(b""), "bzip2"),
    "bzip2 block magic cut": (b"BZh9" + BZIP2_BLOCK[:5], "plain"),
    "bzip2 size digit 0": (b"BZh0" + BZIP2_BLOCK, "plain"),
    "text starting BZh9": (b"BZh9,n\n1,2\n", "plain"),
    "BZh9 alone": (b"BZh9", "plain"),
    "zip": (zipped(["a.csv"]), "zip"),
    "zip of no member": (zipped([]), "zip"),
    "zip magic cut": (b"PK\x03", "plain"),
    "csv": (b"a,b\n1,2\n", "plain"),
    "empty": (b"", "plain"),
}


@pytest.mark.parametrize("name", HEADS)
def test_compression_of_first_bytes(name):
    head, expected = HEADS[name]
    assert sources.compression_of(head[: sources.MAGIC_BYTES]) == expected
