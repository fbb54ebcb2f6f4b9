"""The engine's rows for loading are exactly the rows a pass counts, header first."""

from __future__ import annotations

import bz2
import codecs
import gzip
import lzma
import re
from array import array

import pytest
import zstandard

import quorle
import quorle_ext
from quorle.engine import rows as rows_module
from quorle.engine.rows import RowStarts, line_at, read_rows, row_start

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


def all_rows(path, delimiter=",", batch_rows=1000, **reading):
    offsets, rows = [], []
    for batch_offsets, batch in read_rows(path, delimiter, batch_rows, **reading):
        offsets += batch_offsets
        rows += batch
    return offsets, rows


@pytest.mark.parametrize("name", sorted(TRICKY))
def test_rows_are_the_rows_the_pass_counts(tmp_path, name):
    path = tmp_path / f"{name}.csv"
    path.write_bytes(TRICKY[name])
    result = quorle.infer(str(path), delimiter=",")
    # Read as the pass read it: blank lines are skipped in a file of more than one column.
    offsets, rows = all_rows(str(path), skip_blank_lines=result.reading["skip_blank_lines"])
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


def encoded(path, canonical, na=("NA",), ignore_extra=False, batch=1000):
    encoder = quorle_ext._RowEncoder(str(path), ",", set(na), canonical, ignore_extra)
    payload, offsets = b"", array("q")
    while True:
        rows, chunk, starts = encoder.encode(batch)
        payload += chunk
        offsets.frombytes(starts)
        if encoder.fault[0] or not rows:
            return encoder, payload, offsets


_NUMBER = re.compile(rb"[0-9]+")
_FIELD = re.compile(rb',(?:"((?:[^"]|"")*)"|([^,"\r\n]*))')


def parse_canonical(payload):
    """The canonical CSV back into (number, fields): None only for an unquoted empty field,
    and only a quoted field may hold a delimiter, quote or line end."""
    rows, pos = [], 0
    while pos < len(payload):
        number = _NUMBER.match(payload, pos)
        pos, fields = number.end(), []
        while payload[pos : pos + 1] == b",":
            field = _FIELD.match(payload, pos)
            quoted, bare = field.groups()
            if quoted is not None:
                fields.append(quoted.replace(b'""', b'"'))
            else:
                fields.append(bare or None)
            pos = field.end()
        assert payload[pos : pos + 1] == b"\n"
        rows.append((int(number.group()), fields))
        pos += 1
    return rows


def unescape_copy(line):
    """One COPY text row back into fields (None for \\N)."""
    out = []
    for field in line.split(b"\t"):
        if field == b"\\N":
            out.append(None)
            continue
        text, i = bytearray(), 0
        while i < len(field):
            if field[i : i + 1] == b"\\":
                text += {b"n": b"\n", b"r": b"\r", b"t": b"\t", b"\\": b"\\"}[field[i + 1 : i + 2]]
                i += 2
            else:
                text += field[i : i + 1]
                i += 1
        out.append(bytes(text))
    return out


@pytest.mark.parametrize("name", sorted(set(TRICKY) - {"short_and_long"}))
@pytest.mark.parametrize("canonical", [False, True])
def test_encoded_rows_decode_to_the_rows_read(tmp_path, name, canonical):
    path = tmp_path / f"{name}.csv"
    path.write_bytes(TRICKY[name])
    _, rows = all_rows(str(path))
    width = len(rows[0])
    want = [[None if f == b"NA" else f for f in r] + [None] * (width - len(r)) for r in rows[1:]]
    encoder, payload, offsets = encoded(path, canonical)
    assert encoder.fault[0] == 0
    assert encoder.header == rows[0]
    assert list(offsets) == all_rows(str(path))[0][1:]
    if canonical:
        back = parse_canonical(payload)
        assert [number for number, _ in back] == list(range(1, len(want) + 1))
        assert [fields for _, fields in back] == want
    else:
        lines = payload.split(b"\n")
        assert lines.pop() == b""
        assert [unescape_copy(line) for line in lines] == want


@pytest.mark.parametrize(
    "field, fault",
    [
        (b"caf\xc3\xa9", 0),
        (b"\xf0\x9f\x98\x80", 0),
        (b"\xc0\x80", 3),  # overlong
        (b"\xed\xa0\x80", 3),  # a surrogate
        (b"\xf4\x90\x80\x80", 3),  # past U+10FFFF
        (b"\xe2\x82", 3),  # cut short
        (b"\xff", 3),
        (b"a\x00b", 2),
    ],
)
def test_encoder_refuses_what_no_text_column_holds(tmp_path, field, fault):
    path = tmp_path / "f.csv"
    path.write_bytes(b"a,b\n1,ok\n2,\n3," + field + b"\n4,x\n")
    encoder, payload, offsets = encoded(path, canonical=False)
    assert encoder.fault[0] == fault
    if fault:
        assert encoder.fault[1:] == (3, 1)  # the third data row, the second column
        assert payload.count(b"\n") == 2 and offsets[-1] == row_offset(path, 3)


def row_offset(path, row):
    """Where the file's row (0 the header) starts."""
    return all_rows(str(path))[0][row]


def test_encoder_stops_at_a_long_row_unless_told_to_drop_its_extra_fields(tmp_path):
    path = tmp_path / "long.csv"
    path.write_bytes(b"a,b\n1,2\n3,4,5\n6\n")
    encoder, _, _ = encoded(path, canonical=True)
    assert encoder.fault == (1, 2, 2)
    encoder, payload, _ = encoded(path, canonical=True, ignore_extra=True)
    assert encoder.fault[0] == 0
    assert payload == b"1,1,2\n2,3,4\n3,6,\n"


# Text a cp1252 spreadsheet holds too: non-ASCII letters, quoted line ends, a preamble with
# an odd quote, comments and blank lines.
AS_FOUND = 'Export "Q3\r\n#by hand\nnom,prénom,n\n' + "".join(
    f'{i},"Zoë\r\n{i}",{i * 3}\n' + ("\n#c\r\n" if i % 50 == 0 else "") for i in range(3000)
)
AS_STORED = {
    "plain": (lambda b: b, "utf-8"),
    "gzip": (gzip.compress, "utf-8"),
    "gzip members": (lambda b: gzip.compress(b[:999]) + gzip.compress(b[999:]), "utf-8"),
    "zstd": (lambda b: zstandard.ZstdCompressor(level=3).compress(b), "utf-8"),
    "bzip2": (bz2.compress, "utf-8"),
    "xz": (lzma.compress, "utf-8"),
    "cp1252": (lambda b: b.decode().encode("cp1252"), "cp1252"),
    "utf-16 le bom": (lambda b: codecs.BOM_UTF16_LE + b.decode().encode("utf-16-le"), "utf-16"),
    "cp1252 xz": (lambda b: lzma.compress(b.decode().encode("cp1252")), "cp1252"),
}
READINGS = {
    "defaults": (False, True, 0, ""),
    "every setting": (True, True, 1, "#"),
    "no header": (True, False, 2, "#"),
}


@pytest.mark.parametrize("reading", sorted(READINGS))
@pytest.mark.parametrize("stored", sorted(AS_STORED))
def test_rows_as_found_are_the_rows_of_the_plain_file_and_the_pass(
    tmp_path, make_inf, stored, reading
):
    store, encoding = AS_STORED[stored]
    blank, header, skip, comment = READINGS[reading]
    plain_path = tmp_path / "plain.csv"
    plain_path.write_bytes(AS_FOUND.encode())
    path = tmp_path / "found.csv"
    path.write_bytes(store(AS_FOUND.encode()))
    settings = dict(skip_blank_lines=blank, header=header, skip_lines=skip, comment=comment)

    def rows_of(p, enc):
        offsets, rows = [], []
        for batch_offsets, batch in read_rows(str(p), ",", 700, encoding=enc, **settings):
            offsets += batch_offsets
            rows += batch
        return offsets, rows

    offsets, rows = rows_of(path, encoding)
    assert (offsets, rows) == rows_of(plain_path, "utf-8")
    inf = make_inf(str(path))
    inf._set_input(True, "" if encoding == "utf-8" else encoding)
    inf._set_reading(blank, header, skip, comment)
    inf.infer_types()
    assert len(rows) - (1 if header else 0) == inf.num_rows
    # Every row's line is the plain file's, counted on the decoded stream.
    text = AS_FOUND.encode()
    for offset in offsets[:: len(offsets) // 40]:
        want = (
            1
            + text[:offset].count(b"\n")
            + text[:offset].count(b"\r")
            - text[:offset].count(b"\r\n")
        )
        assert line_at(str(path), offset, encoding=encoding) == want
    # A row's start found again from the file's start, as a load finds a failed row's.
    data_offsets = offsets[1:] if header else offsets
    for row in (1, 700, 701, len(data_offsets), len(data_offsets) + 1):
        want = data_offsets[row - 1] if row <= len(data_offsets) else None
        found = row_start(str(path), ",", row, batch_rows=700, encoding=encoding, **settings)
        assert found == want

    encoder = quorle_ext._RowEncoder(
        str(path), ",", {"NA"}, False, True, encoding=encoding, **settings
    )
    assert encoder.width == len(rows[0])
    assert encoder.header == (rows[0] if header else [])
    payload = b""
    while True:
        count, chunk, _ = encoder.encode(500)
        payload += chunk
        if not count:
            break
    assert encoder.fault[0] == 0
    lines = payload.split(b"\n")
    assert lines.pop() == b""
    width = len(rows[0])
    want = [r[:width] + [None] * (width - len(r)) for r in rows[1 if header else 0 :]]
    assert [unescape_copy(line) for line in lines] == want


@pytest.mark.parametrize(
    "damage, says",
    [
        (lambda b: gzip.compress(b)[:-300], "truncated gzip stream"),
        (lambda b: lzma.compress(b)[:200] + b"\0" * 64 + lzma.compress(b)[264:], "corrupt xz"),
        (lambda b: bz2.compress(b)[:-40], "bzip2"),
    ],
    ids=["truncated gzip", "corrupt xz", "truncated bzip2"],
)
def test_a_damaged_stream_is_an_os_error_naming_the_file(tmp_path, damage, says):
    path = tmp_path / "damaged.csv.z"
    path.write_bytes(damage(AS_FOUND.encode()))
    with pytest.raises(OSError, match=f"damaged.csv.z.*{says}"):
        for _ in read_rows(str(path), ","):
            pass
    with pytest.raises(OSError, match=f"damaged.csv.z.*{says}"):
        encoder = quorle_ext._RowEncoder(str(path), ",", set(), True, False)
        while encoder.encode(1000)[0]:
            pass


def test_row_starts_keep_the_latest_rows_and_ask_for_older_ones(monkeypatch):
    monkeypatch.setattr(rows_module, "RECENT_ROWS", 5)
    asked = []

    def find_older(row):
        asked.append(row)
        return row * 10

    starts = RowStarts(find_older)
    for first in range(1, 13, 3):
        starts.add(array("q", [row * 10 for row in range(first, first + 3)]))
    starts.add(array("q"))
    assert starts.rows == 12
    assert [starts.at(row) for row in range(14)] == [None] + [r * 10 for r in range(1, 13)] + [None]
    # The last two batches hold the latest five rows; only rows before them are read again.
    assert asked == list(range(1, 7))
