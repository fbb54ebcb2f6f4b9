"""Formatted columns through the row classes' bindings: the reader's values and the encoder's
bytes are the canonical texts, missing values stay missing, a field that does not fit is named
by its row's offset, its position and its text, and DuckDB loads the encoding as typed values."""

from __future__ import annotations

import datetime
import decimal

import pytest

import quorle_ext

DAY_FIRST = {"pattern": "%d/%m/%Y", "name": "day first"}
COMMA = {"decimal_mark": ",", "group": "."}
DOLLAR = {"decimal_mark": ".", "group": ",", "currency": "$"}
PERCENT = {"percent": True}
FRENCH = {"true": ["oui"], "false": ["non"]}
NA = {"", "NA"}

# (format, written field as a CSV cell, canonical text; None: a missing value)
CASES = [
    (DAY_FIRST, b"31/12/2024", b"2024-12-31"),
    (DAY_FIRST, b"1/2/2024", b"2024-02-01"),
    (COMMA, b'"1.234,50"', b"1234.50"),
    (COMMA, b'"-7,25"', b"-7.25"),
    (DOLLAR, b"$-5.00", b"-5.00"),
    (DOLLAR, b'"$1,000"', b"1000"),
    (PERCENT, b"45%", b"0.45"),
    (FRENCH, b"Oui", b"true"),
    (FRENCH, b"NON", b"false"),
    (DAY_FIRST, b"NA", None),
    (COMMA, b"", None),
]
# A plain column around the formatted one: it must come through as written.
PLAIN = b'"a\tb,\\c"'
PLAIN_FIELD = b"a\tb,\\c"


def write(tmp_path, rows, width=3):
    path = tmp_path / "f.csv"
    header = b",".join(b"c%d" % c for c in range(width)) + b"\n"
    path.write_bytes(header + b"".join(b",".join(r) + b"\n" for r in rows))
    return str(path)


def read_all(reader):
    rows = []
    while True:
        _offsets, batch = reader.next_batch(2)
        if not batch:
            return rows
        rows += batch


def encode_all(encoder):
    out = b""
    while True:
        rows, payload, _starts = encoder.encode(2)
        if not rows:
            return out
        out += payload


@pytest.mark.parametrize(("format", "written", "canonical"), CASES)
def test_the_classes_hand_on_the_canonical_text(tmp_path, format, written, canonical):
    path = write(tmp_path, [[PLAIN, written, b"1/2/2024"]] * 3)
    reader = quorle_ext._RowReader(path, ",")
    reader.set_formats([None, format], NA)
    value = written if canonical is None else canonical
    assert read_all(reader)[1:] == [[PLAIN_FIELD, value, b"1/2/2024"]] * 3
    assert reader.misfit is None

    copy_value = b"\\N" if canonical is None else canonical
    csv_value = b"" if canonical is None else canonical
    for as_csv, row in [
        (False, b"a\\tb,\\\\c\t" + copy_value + b"\t1/2/2024\n"),
        (True, b',"a\tb,\\c",' + csv_value + b",1/2/2024\n"),
    ]:
        encoder = quorle_ext._RowEncoder(path, ",", NA, as_csv, False)
        encoder.set_formats([None, format])
        want = b"".join((b"%d" % n if as_csv else b"") + row for n in range(1, 4))
        assert encode_all(encoder) == want
        assert encoder.fault == (0, 0, 0)
        assert encoder.misfit is None


@pytest.mark.parametrize(
    ("rows", "row", "column", "text"),
    [
        ([[b"x", b"31/12/2024", b'"1,5"'], [b"y", b"2024-12-31", b"2"]], 1, 1, b"2024-12-31"),
        ([[b"x", b"NA", b'"1.5"']], 0, 2, b"1.5"),
        (
            [[b"x", b"1/1/2024", b"1"]] * 3 + [[b"z", b"1/1/2024", b"9" * 300 + b"x"]],
            3,
            2,
            b"9" * 200,
        ),
    ],
)
def test_a_misfit_is_named_by_offset_position_and_text(tmp_path, rows, row, column, text):
    path = write(tmp_path, rows)
    line = row + 2  # the header is line 1
    reader = quorle_ext._RowReader(path, ",")
    reader.set_formats([None, DAY_FIRST, COMMA], NA)
    assert len(read_all(reader)) == 1 + row
    offset, position, field = reader.misfit
    assert (quorle_ext._line_at(path, offset), position, field) == (line, column, text)
    for as_csv in (False, True):
        encoder = quorle_ext._RowEncoder(path, ",", NA, as_csv, False)
        encoder.set_formats([None, DAY_FIRST, COMMA])
        encode_all(encoder)
        assert encoder.fault == (4, row + 1, column)
        assert encoder.misfit == reader.misfit


@pytest.mark.parametrize(
    ("formats", "named"),
    [
        (
            [None, {"pattern": "%d/%m/%Y", "group": ","}],
            'position 1: a date or time format has no setting "group"',
        ),
        ([{"decimal_mark": ",,"}], "position 0: a decimal mark"),
    ],
)
def test_a_faulty_format_names_its_position(tmp_path, formats, named):
    path = write(tmp_path, [])
    for row_class in (
        quorle_ext._RowReader(path, ","),
        quorle_ext._RowEncoder(path, ",", NA, True, False),
    ):
        with pytest.raises(ValueError, match=named):
            row_class.set_formats(formats)


def test_duckdb_loads_the_encoding_as_typed_values(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    path = write(
        tmp_path,
        [
            [b"x", b"31/12/2024", b'"1.234,50"', b"Oui"],
            [b"y", b"NA", b'"-0,5"', b"non"],
            [b"z", b"29/2/2000", b"", b"NA"],
        ],
        width=4,
    )
    encoder = quorle_ext._RowEncoder(path, ",", NA, True, False)
    encoder.set_formats([None, DAY_FIRST, COMMA, FRENCH])
    encoded = tmp_path / "encoded.csv"
    encoded.write_bytes(encode_all(encoder))
    con = duckdb.connect()
    con.execute("CREATE TABLE t (r BIGINT, p VARCHAR, d DATE, n DECIMAL(12, 2), b BOOLEAN)")
    con.execute(
        f"COPY t FROM '{encoded}' (FORMAT csv, HEADER false, DELIMITER ',', QUOTE '\"',"
        " ESCAPE '\"', NULLSTR '', AUTO_DETECT false)"
    )
    assert con.execute("SELECT p, d, n, b FROM t ORDER BY r").fetchall() == [
        ("x", datetime.date(2024, 12, 31), decimal.Decimal("1234.50"), True),
        ("y", None, decimal.Decimal("-0.50"), False),
        ("z", datetime.date(2000, 2, 29), None, None),
    ]
