"""DuckDB's numeric columns from the digits the pass counts: an exact DECIMAL where one is
wide enough, DOUBLE where every field is exactly a double, text with a warning otherwise."""

from __future__ import annotations

import contextlib
import json
import pathlib
import random
import subprocess
import sys
from decimal import Decimal

import pytest

import quorle
from quorle.inference.patterns import DEFAULT_PATTERNS
from quorle.sql.table_schema import describe
from quorle.sql.type_maps import DUCKDB_MAX_PRECISION, sql_type

duckdb = pytest.importorskip("duckdb")

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite

# type, dialect, longest field, fits_double, integer digits, fraction digits -> column type
DIGIT_RULES = [
    ("decimal", "duckdb", 20, True, 3, 17, "DECIMAL(20,17)"),
    # At least one integer digit, so that a column of ".1234" still holds "0.1234".
    ("decimal", "duckdb", 5, False, 0, 4, "DECIMAL(5,4)"),
    ("decimal", "duckdb", 39, False, 20, 18, "DECIMAL(38,18)"),
    # One digit past DECIMAL: a double if every field is one, else text.
    ("decimal", "duckdb", 40, True, 20, 19, "DOUBLE"),
    ("decimal", "duckdb", 40, False, 20, 19, "VARCHAR"),
    # Digits leave exponents out, so they say nothing of an exponent's scale.
    ("scientific", "duckdb", 10, True, 1, 5, "DOUBLE"),
    ("scientific", "duckdb", 10, False, 1, 5, "VARCHAR"),
    # Not counted: the longest field decides, as for a result built by hand.
    ("decimal", "duckdb", 12, True, None, None, "DECIMAL(23,11)"),
    ("decimal", "duckdb", 20, True, None, None, "VARCHAR"),
    ("scientific", "duckdb", 10, True, None, None, "VARCHAR"),
    # Integers and the other dialects keep their rules.
    ("integer", "duckdb", 19, True, 19, 0, "HUGEINT"),
    ("decimal", "sqlite", 40, True, 20, 19, "REAL"),
    ("decimal", "postgres", 40, False, 20, 19, "numeric"),
]


@pytest.mark.parametrize("type_name, dialect, length, double, ints, fracs, expected", DIGIT_RULES)
def test_type_map_follows_the_digits(type_name, dialect, length, double, ints, fracs, expected):
    got = sql_type(
        type_name,
        dialect,
        length,
        DEFAULT_PATTERNS,
        fits_double=double,
        int_digits=ints,
        frac_digits=fracs,
    )
    assert got == expected


def loaded_columns(db):
    with contextlib.closing(duckdb.connect(str(db))) as con:
        types = dict(
            con.execute("SELECT column_name, data_type FROM information_schema.columns").fetchall()
        )
        names = list(types)
        listed = ", ".join(f'"{n}"' for n in names)
        rows = con.execute(f"SELECT {listed} FROM numbers ORDER BY rowid").fetchall()
    return types, {name: [row[i] for row in rows] for i, name in enumerate(names)}


def as_loaded(sql, text):
    """What DuckDB gives back for `text` in a column of type `sql`."""
    if sql.startswith("DECIMAL"):
        return Decimal(text)
    return float(text) if sql == "DOUBLE" else text


def test_python_printed_doubles_load_as_numbers(tmp_path):
    rng = random.Random(1729)
    texts = [repr(rng.random() * 1000) for _ in range(60000)]
    # One field of 20 characters at least, where a longest-field rule has no DECIMAL wide
    # enough: drawn on (a bounded number of times) below 0.1, where reprs grow that long.
    draws = (repr(rng.random() * 1000) for _ in range(10_000_000))
    longest = next((t for t in draws if len(t) >= 20), None)
    assert longest is not None
    texts[rng.randrange(len(texts))] = longest
    path = tmp_path / "numbers.csv"
    path.write_text("x\n" + "\n".join(texts) + "\n")
    db = tmp_path / "n.duckdb"
    quorle.load(str(path), f"duckdb:///{db}")
    types, values = loaded_columns(db)
    assert types["x"].startswith("DECIMAL") or types["x"] == "DOUBLE", types
    assert values["x"] == [as_loaded(types["x"], t) for t in texts]


# name, fields, DuckDB type, warned about in DuckDB
DUCKDB_COLUMNS = [
    ("short", ["12.5", "-0.125", "7", "0.5"], "DECIMAL(5,3)", False),
    # The exact expansion of 0.1's double: past 38 digits, and exactly a double.
    ("expansion", ["0.1000000000000000055511151231257827021181583404541015625", "2.5", "1", "3"],
     "DOUBLE", False),
    ("long", ["1234567890123456789012345.12345678901234567", "1.5", "2", "3"], "VARCHAR", True),
    ("sci", ["1.5e-7", "2.5E+10", "3e2", "4.25"], "DOUBLE", False),
    ("huge", ["1e400", "2.5", "3.5", "1.25"], "VARCHAR", True),
]  # fmt: skip


@pytest.fixture
def numbers_file(tmp_path):
    path = tmp_path / "numbers.csv"
    rows = [",".join(c[1][i] for c in DUCKDB_COLUMNS) for i in range(4)]
    path.write_text("\n".join([",".join(c[0] for c in DUCKDB_COLUMNS), *rows]) + "\n")
    return path


def test_duckdb_keeps_every_number_and_warns_of_text(numbers_file, tmp_path):
    db = tmp_path / "n.duckdb"
    done = subprocess.run(
        [str(QUORLE), "load", str(numbers_file), "--into", f"duckdb:///{db}"],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD,
    )
    assert done.returncode == 0, done.stderr
    types, values = loaded_columns(db)
    for name, fields, sql, warned in DUCKDB_COLUMNS:
        assert types[name] == sql, (name, types)
        assert values[name] == [as_loaded(sql, f) for f in fields], name
        lines = [line for line in done.stderr.splitlines() if f"column {name!r}" in line]
        assert bool(lines) == warned, (name, done.stderr)
        if lines:
            assert "VARCHAR in DuckDB" in lines[0], lines
            assert f"longest field: {max(map(len, fields))} characters" in lines[0], lines


def test_digits_reach_the_description_and_its_load(numbers_file, tmp_path):
    result = quorle.infer(str(numbers_file))
    table = describe(result)
    warned = {name for name, *_, warned in DUCKDB_COLUMNS if warned}
    assert {w.split("'")[1] for w in table.warnings_for("duckdb")} == warned
    described = json.loads(quorle.schema(result, "json"))["tables"][0]["columns"]
    for column, entry in zip(result.columns, described, strict=True):
        assert (entry["int_digits"], entry["frac_digits"]) == (
            column.int_digits,
            column.frac_digits,
        )
        precision = max(column.int_digits, 1) + column.frac_digits
        if entry["sql"]["duckdb"].startswith("DECIMAL"):
            assert entry["sql"]["duckdb"] == f"DECIMAL({precision},{column.frac_digits})"
            assert precision <= DUCKDB_MAX_PRECISION
    schema = tmp_path / "s.json"
    schema.write_text(quorle.schema(result, "json"))
    direct, by_schema = tmp_path / "a.duckdb", tmp_path / "b.duckdb"
    quorle.load(str(numbers_file), f"duckdb:///{direct}")
    quorle.load(str(numbers_file), f"duckdb:///{by_schema}", schema=str(schema))
    assert loaded_columns(direct) == loaded_columns(by_schema)
