"""The input-decoding bindings: the shapes the quorle package relies on. A compressed or
transcoded file counts as its plain UTF-8 text, and a damaged one raises OSError naming it."""

import bz2
import gzip
import lzma

import pytest

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
