"""Schemas from `quorle schema` loaded into real databases, every value read back and compared."""

from __future__ import annotations

import csv
import datetime as dt
import io
import json
import pathlib
import sqlite3
import subprocess
import sys
from decimal import Decimal

import pytest

duckdb = pytest.importorskip("duckdb")

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite
NA = ["", "NA"]


def last_row_surprises(n=300):
    rows = [["id", "amount", "label", "score"]]
    rows += [[str(i), str(i * 7), str(i % 13), str(i % 5)] for i in range(1, n)]
    rows.append([str(n), "12.5", "abc", "NA"])
    return rows


def wide_integers():
    rows = [["small", "wide"]]
    for i in range(50):
        rows.append([str(i), str(10**19 + i * 987654321987)])
    rows.append(["-5", "-98765432109876543210"])
    return rows


def six_fraction_digits():
    rows = [["price", "rate"]]
    for i in range(40):
        rows.append([f"{i * 31}.{i * 7919 % 1000000:06d}", f"-0.{i:06d}"])
    rows.append(["99999.999999", "NA"])
    return rows


def datetimes():
    rows = [["plain", "zoned", "mixed", "day", "clock"]]
    for i in range(1, 28):
        plain = f"2024-03-{i:02d}T{i % 24:02d}:{i:02d}:{i:02d}.{i:06d}"
        zoned = f"2024-03-{i:02d} 10:{i:02d}:00{['Z', '+05:30', '-0800', '+02'][i % 4]}"
        mixed = plain if i % 3 else zoned
        rows.append([plain, zoned, mixed, f"2024-03-{i:02d}", f"{i % 24:02d}:{i:02d}"])
    rows.append(["NA", "NA", "", "", "NA"])
    return rows


def odd_headers():
    rows = [["a", "", "a", "b", "A", ""]]
    rows += [[str(i), f"x{i}", str(-i), f"{i}.5", "true" if i % 2 else "no", ""] for i in range(9)]
    return rows


def short_rows():
    rows = [["k", "v", "w"]] + [[str(i), str(i * 2), f"w{i}"] for i in range(20)]
    return rows + [["20", "40"], ["21"]]


CASES = {
    "last_row": (last_row_surprises(), b""),
    "wide_integers": (wide_integers(), b""),
    "six_fraction_digits": (six_fraction_digits(), b""),
    "datetimes": (datetimes(), b""),
    "bom": (last_row_surprises(40), b"\xef\xbb\xbf"),
    "odd_headers": (odd_headers(), b""),
    "short_rows": (short_rows(), b""),
}


@pytest.fixture(params=sorted(CASES))
def case_file(request, tmp_path):
    rows, prefix = CASES[request.param]
    buf = io.StringIO()
    csv.writer(buf, lineterminator="\n").writerows(rows)
    path = tmp_path / f"{request.param}.csv"
    path.write_bytes(prefix + buf.getvalue().encode())
    return path, rows[1:]


def quorle_schema(path, dialect):
    done = subprocess.run(
        [str(QUORLE), "schema", str(path), "--dialect", dialect, "--load", "--na", *NA],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def expected_value(text, sql_type):
    """What the database must hold for a field of the file, by the column's type."""
    if text is None or text in NA:
        return None
    kind = sql_type.split("(")[0].upper()
    if kind in ("INTEGER", "BIGINT", "HUGEINT"):
        return int(text)
    if kind == "DECIMAL":
        return Decimal(text)
    if kind == "REAL":
        return Decimal(text)
    if kind == "BOOLEAN":
        return text.lower() in ("true", "yes")
    if kind == "DATE":
        return dt.date.fromisoformat(text)
    if kind == "TIME":
        return dt.time.fromisoformat(text)
    if kind == "TIMESTAMP":
        return dt.datetime.fromisoformat(text)
    if kind == "TIMESTAMPTZ":
        # Read back as microseconds since the epoch: the instant must survive.
        stamp = dt.datetime.fromisoformat(text)
        return round(stamp.timestamp() * 1_000_000)
    assert kind in ("TEXT", "VARCHAR"), sql_type
    return text


def held(value):
    # A double read back is compared by the shortest text that round-trips.
    return Decimal(repr(value)) if isinstance(value, float) else value


def compare(rows, stored, types):
    assert len(stored) == len(rows)
    for line, (fields, back) in enumerate(zip(rows, stored, strict=True), start=2):
        fields = fields + [None] * (len(types) - len(fields))
        for (name, sql_type), text, value in zip(types, fields, back, strict=True):
            want = expected_value(text, sql_type)
            assert held(value) == want, f"line {line}, column {name} ({sql_type}): {text!r}"
            if isinstance(want, Decimal) and text:
                # Digit for digit: no digit of the file's text may be rounded away.
                assert held(value).normalize() == Decimal(text).normalize()


def test_duckdb_copy_loads_every_value(case_file):
    path, rows = case_file
    con = duckdb.connect()
    con.execute(quorle_schema(path, "duckdb"))
    (table,) = [r[0] for r in con.execute("SHOW TABLES").fetchall()]
    described = con.execute(f'DESCRIBE "{table}"').fetchall()
    types = [(r[0], "TIMESTAMPTZ" if "TIME ZONE" in r[1] else r[1]) for r in described]
    # Zone-aware values come back as instants; plain ones as they are.
    select = ", ".join(f'epoch_us("{n}")' if t == "TIMESTAMPTZ" else f'"{n}"' for n, t in types)
    stored = con.execute(f'SELECT {select} FROM "{table}" ORDER BY rowid').fetchall()
    compare(rows, stored, types)


def test_sqlite_strict_table_takes_every_value(case_file, sqlite_memory):
    path, rows = case_file
    ddl = quorle_schema(path, "sqlite")
    assert "STRICT" in ddl
    con = sqlite_memory
    con.executescript(ddl)
    (table,) = [r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='table'")]
    types = [(r[1], r[2]) for r in con.execute(f'PRAGMA table_info("{table}")')]
    width = len(types)
    values = [
        [None if f in NA else f for f in fields] + [None] * (width - len(fields)) for fields in rows
    ]
    marks = ", ".join("?" * width)
    con.executemany(f'INSERT INTO "{table}" VALUES ({marks})', values)
    stored = con.execute(f'SELECT * FROM "{table}" ORDER BY rowid').fetchall()
    compare(rows, stored, types)


def test_strict_sqlite_refuses_what_the_schema_must_avoid(sqlite_memory):
    # The comparison above means something only if a wrong type fails loudly.
    con = sqlite_memory
    con.execute("CREATE TABLE t (n INTEGER) STRICT")
    for text in ("abc", "12.5", str(10**19)):
        with pytest.raises(sqlite3.Error):
            con.execute("INSERT INTO t VALUES (?)", (text,))


def test_not_null_columns_have_counts_summing_to_the_rows(case_file):
    path, rows = case_file
    done = subprocess.run(
        [str(QUORLE), "schema", str(path), "--dialect", "json", "--na", *NA],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD,
    )
    assert done.returncode == 0, done.stderr
    (table,) = json.loads(done.stdout)["tables"]
    assert table["rows"] == len(rows)
    for position, column in enumerate(table["columns"]):
        reached = sum(1 for fields in rows if len(fields) > position)
        missing = sum(1 for fields in rows if len(fields) > position and fields[position] in NA)
        assert column["nullable"] == (missing > 0 or reached < len(rows)), column["name"]
        if not column["nullable"]:
            # Header cells with the same text share their counts; the engine names each
            # empty cell apart.
            same = [c for c in table["columns"] if c["header"] == column["header"]]
            sharing = len(same) if column["header"] else 1
            assert sum(column["counts"].values()) == table["rows"] * sharing
