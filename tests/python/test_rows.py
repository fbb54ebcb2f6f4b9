"""The engine's rows for loading are exactly the rows a pass counts, header first."""

from __future__ import annotations

import pytest

import quorle
from quorle.rows import line_at, read_rows

TRICKY = {
    "crlf": b"a,b\r\n1,2\r\n3,4\r\n",
    "cr_only": b"a,b\r1,2\r3,4",
    "quoted_line_ends": b'a,b\n1,"x\r\ny"\n2,"p\rq"\n',
    "blank_lines": b"a,b\n\n1,2\n\n\n3,4\n",
    "mid_field_quote": b'a,b\n1,ab"c\n2,"d"e\n',
    "copy_terminator": b"a,b\n\\.\n1,2\n",
    "no_final_line_end": b"a,b\n1,2\n3,",
    "bom": b"\xef\xbb\xbfa,b\n1,2\n",
    "short_and_long": b"a,b,c\n1\n1,2,3,4,5\n",
    "long_field": b"a,b\n1," + b"x" * 300_000 + b"\n2,3\n",
    "many_rows": b"a,b\n" + b"".join(b"%d,%d\n" % (i, i * i) for i in range(45_000)),
    "header_only": b"a,b\n",
}


def all_rows(path, delimiter=",", batch_rows=1000):
    offsets, rows = [], []
    for batch_offsets, batch in read_rows(path, delimiter, batch_rows):
        offsets += batch_offsets
        rows += batch
    return offsets, rows


@pytest.mark.parametrize("name", sorted(TRICKY))
def test_rows_are_the_rows_the_pass_counts(tmp_path, name):
    path = tmp_path / f"{name}.csv"
    path.write_bytes(TRICKY[name])
    offsets, rows = all_rows(str(path))
    result = quorle.infer(str(path), delimiter=",")
    assert len(rows) - 1 == result.rows
    header = [f.decode("utf-8") for f in rows[0]]
    assert header[0].lstrip("\ufeff") == result.columns[0].name
    assert len(header) == len(result.columns)
    # Each row's offset is where its first field begins in the file.
    data = TRICKY[name]
    for offset, fields in zip(offsets, rows, strict=True):
        first = fields[0].replace(b"\r\n", b"\n")
        assert data[offset:].replace(b"\r\n", b"\n").lstrip(b'"').startswith(first[:20])


def test_fields_keep_their_bytes(tmp_path):
    path = tmp_path / "x.csv"
    path.write_bytes(b'h1;h2\n"a;""b""\n c";\xff\x00z\n')
    _, rows = all_rows(str(path), ";")
    assert rows == [[b"h1", b"h2"], [b'a;"b"\n c', b"\xff\x00z"]]


@pytest.mark.parametrize(
    "data, offset, line",
    [(b"a\nb\nc", 4, 3), (b"a\r\nb\r\nc", 6, 3), (b"a\rb\rc", 4, 3), (b'a\n"x\ny"\nz', 8, 4)],
)
def test_line_at_counts_every_kind_of_line_end(tmp_path, data, offset, line):
    path = tmp_path / "l.csv"
    path.write_bytes(data)
    assert line_at(str(path), offset) == line


def test_unreadable_file_is_an_os_error(tmp_path):
    with pytest.raises(OSError, match="missing.csv"):
        next(read_rows(str(tmp_path / "missing.csv"), ","))
