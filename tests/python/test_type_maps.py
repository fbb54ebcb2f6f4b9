"""Column types per dialect against the real databases, numbers that stay numbers in
SQLite, and the engine's narrow bindings the type maps ask."""

from __future__ import annotations

import contextlib
import pathlib
import sqlite3
import subprocess
import sys

import pytest

import quorle
import quorle_ext
from quorle.inference.numbers import numeric_checks
from quorle.inference.patterns import DEFAULT_PATTERNS, parse_patterns
from quorle.sql.type_maps import INTEGER_TIERS, WIDE_INTEGER, sql_type

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite


def integer_extremes(length):
    """The integers of exactly `length` characters farthest from zero."""
    return [int("9" * length), -int("9" * (length - 1))] if length > 1 else [9]


def postgres_holds(postgres, request):
    psycopg = pytest.importorskip("psycopg")
    con = psycopg.connect(postgres.url(), autocommit=True)
    request.addfinalizer(con.close)

    def holds(sql, value):
        try:
            return con.execute(f"SELECT %s::text::{sql}", [str(value)]).fetchone()[0] == value
        except psycopg.errors.NumericValueOutOfRange:
            return False

    return holds


def duckdb_holds():
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()

    def holds(sql, value):
        if sql == "VARCHAR":
            return True
        try:
            return con.execute(f"SELECT CAST(? AS {sql})", [str(value)]).fetchone()[0] == value
        except duckdb.ConversionException:
            return False

    return holds


@pytest.mark.parametrize("dialect", ["postgres", "duckdb"])
def test_integer_tier_is_the_narrowest_type_the_server_holds(dialect, request):
    # The server decides: the chosen type holds the widest fields of each length,
    # and every narrower rung of the ladder refuses one of them.
    if dialect == "postgres":
        holds = postgres_holds(request.getfixturevalue("postgres"), request)
    else:
        holds = duckdb_holds()
    ladder = [sql for _, sql in INTEGER_TIERS[dialect]] + [WIDE_INTEGER[dialect]]
    for length in range(1, 41):
        chosen = sql_type("integer", dialect, length)
        values = integer_extremes(length)
        assert all(holds(chosen, v) for v in values), (length, chosen)
        for narrower in ladder[: ladder.index(chosen)]:
            assert not all(holds(narrower, v) for v in values), (length, chosen, narrower)


# type, dialect, longest field, fits_double, fits_int64 -> column type
CHECKED_CASES = [
    # Doubles printed with 17 significant digits round-trip: REAL, however long.
    ("decimal", "sqlite", 19, True, None, "REAL"),
    ("decimal", "sqlite", 4, False, None, "TEXT"),
    ("scientific", "sqlite", 12, True, None, "REAL"),
    ("scientific", "sqlite", 12, False, None, "TEXT"),
    # Unchecked: only the longest field decides.
    ("decimal", "sqlite", 15, None, None, "REAL"),
    ("decimal", "sqlite", 16, None, None, "TEXT"),
    ("scientific", "sqlite", 5, None, None, "TEXT"),
    # 19 digits within 64 bits are an INTEGER; past them, TEXT.
    ("integer", "sqlite", 19, None, True, "INTEGER"),
    ("integer", "sqlite", 3, None, False, "TEXT"),
    ("integer", "sqlite", 18, None, None, "INTEGER"),
    ("integer", "sqlite", 19, None, None, "TEXT"),
    # The exact types of the other dialects do not depend on the checks.
    ("decimal", "postgres", 30, False, None, "numeric"),
    ("decimal", "duckdb", 5, False, None, "DECIMAL(9,4)"),
    ("decimal", "duckdb", 5, True, None, "DECIMAL(9,4)"),
    ("integer", "postgres", 25, None, False, "numeric"),
    ("integer", "duckdb", 19, None, True, "HUGEINT"),
    ("integer", "postgres", 10, None, True, "bigint"),
    ("integer", "postgres", 9, None, True, "integer"),
]


@pytest.mark.parametrize("type_name, dialect, length, double, int64, expected", CHECKED_CASES)
def test_sql_type_follows_the_numeric_checks(type_name, dialect, length, double, int64, expected):
    got = sql_type(
        type_name, dialect, length, DEFAULT_PATTERNS, fits_double=double, fits_int64=int64
    )
    assert got == expected


@pytest.mark.parametrize(
    "table, doubles, integers",
    [
        (None, {"integer", "decimal", "scientific"}, {"integer"}),
        # A type of the user's that widens to decimal shares its REAL column.
        (
            {"count": {"patterns": ["[0-9]+"], "widens_to": ["decimal"]}, "decimal": ["[0-9.]+"]},
            {"count", "decimal"},
            set(),
        ),
        # A table that names its own widening: integer no longer shares decimal's column.
        (
            {"integer": {"patterns": ["[0-9]+"], "widens_to": []}, "decimal": ["[0-9.]+"]},
            {"decimal"},
            {"integer"},
        ),
        ({"code": ["[A-Z]+"]}, set(), set()),
    ],
)
def test_numeric_checks_cover_every_type_stored_as_a_number(table, doubles, integers):
    got_doubles, got_integers = numeric_checks(None if table is None else parse_patterns(table))
    assert (set(got_doubles), set(got_integers)) == (doubles, integers)


# header, fields, fits_double, fits_int64, SQLite type, warned about in SQLite
NUMBER_COLUMNS = [
    # 17 significant digits of a double, and short decimals with integers among them.
    ("speed", ["0.33255440000000003", "9.20624", "45", "31.5"], True, True, "REAL", False),
    ("exact", ["0.3325544", "12.125", "100.5", "7"], True, True, "REAL", False),
    # More digits than any double keeps, or past the double's range.
    ("digits", ["0.12345678901234567890", "1.5", "2.5", "3.5"], False, True, "TEXT", True),
    ("huge", ["1e400", "2.5", "3.5", "1.25"], False, True, "TEXT", True),
    # The 64-bit bounds (not exactly doubles), and a number past them.
    ("id", ["9223372036854775807", "-9223372036854775808", "1", "2"], False, True, "INTEGER", 0),
    ("big", ["18446744073709551617", "1", "2", "3"], False, False, "TEXT", True),
]


@pytest.fixture
def numbers_file(tmp_path):
    path = tmp_path / "numbers.csv"
    header = ",".join(c[0] for c in NUMBER_COLUMNS)
    rows = [",".join(c[1][i] for c in NUMBER_COLUMNS) for i in range(4)]
    path.write_text("\n".join([header, *rows]) + "\n")
    return path


def test_pass_checks_numbers_and_sqlite_schema_follows(numbers_file):
    result = quorle.infer(str(numbers_file))
    ddl = quorle.schema(result, "sqlite")
    for (name, _, double, int64, sqlite, _), column in zip(
        NUMBER_COLUMNS, result.columns, strict=True
    ):
        assert (column.fits_double, column.fits_int64) == (double, int64), name
        assert f'"{name}" {sqlite}' in ddl, (name, ddl)
    # Postgres keeps every column numeric.
    assert "text" not in quorle.schema(result, "postgres")


@pytest.mark.parametrize(
    "command, dialect",
    [("schema", "sqlite"), ("schema", "json"), ("load", "sqlite"), ("schema", "postgres"),
     ("load", "duckdb")],
)  # fmt: skip
def test_sqlite_text_numbers_are_warned_about(numbers_file, tmp_path, command, dialect):
    into = ["--into", f"{dialect}:///{tmp_path / 'n.db'}"]
    extra = into if command == "load" else ["--dialect", dialect]
    done = subprocess.run(
        [str(QUORLE), command, str(numbers_file), *extra],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD,
    )
    assert done.returncode == 0, done.stderr
    for name, fields, _, _, _, warned in NUMBER_COLUMNS:
        lines = [
            line
            for line in done.stderr.splitlines()
            if f"column {name!r}" in line and "in SQLite" in line
        ]
        # Only where SQLite's types are asked for (DuckDB's own warnings: test_duckdb_numbers).
        assert bool(lines) == bool(warned and dialect in ("sqlite", "json")), (name, done.stderr)
        if lines:
            longest = max(len(f) for f in fields)
            assert f"longest field: {longest} characters" in lines[0], lines


def test_sqlite_numbers_are_numbers(numbers_file, tmp_path):
    db = tmp_path / "n.db"
    quorle.load(str(numbers_file), f"sqlite:///{db}")
    with contextlib.closing(sqlite3.connect(db)) as con:
        for name, fields, _, _, sqlite, _ in NUMBER_COLUMNS:
            stored = con.execute(f'SELECT "{name}", typeof("{name}") FROM numbers').fetchall()
            if sqlite == "TEXT":
                assert stored == [(f, "text") for f in fields], name
                continue
            parse = float if sqlite == "REAL" else int
            # Each value is the correctly rounded number of its text, compared bit for bit.
            assert [v for v, _ in stored] == [parse(f) for f in fields], name
            assert {t for _, t in stored} <= {"real", "integer"}, (name, stored)
            (above,) = con.execute(f'SELECT count(*) FROM numbers WHERE "{name}" > 30').fetchone()
            assert above == sum(parse(f) > 30 for f in fields), name
        (most,) = con.execute("SELECT max(speed) FROM numbers").fetchone()
        assert most == 45


@pytest.mark.parametrize(
    "texts, expected",
    [
        (["12", "-3", "1.5", ".5"], ["integer", "integer", "decimal", "decimal"]),
        # Missing values come before any type; "other" for what no type matches.
        (["NA", "", "x", "1.5.5"], ["NA", "NA", "other", "other"]),
        # Each text alone: one text's answer does not sway the next one's.
        (["7", "8.0", "7", "+1"], ["integer", "decimal", "integer", "other"]),
        ([], []),
    ],
)
def test_match_texts_classifies_each_text_alone(texts, expected):
    table = {"integer": ["-?[0-9]+"], "decimal": ["-?[0-9]*\\.[0-9]+"]}
    inf = quorle_ext.Inf("", ",", table, {"NA", ""}, False, False, "", 0)
    assert inf._match_texts(texts) == expected


@pytest.mark.parametrize(
    "name, texts, matches",
    [
        ("wide", ["7"], True),  # the first type takes "7" in a pass, but "wide" admits it
        ("wide", ["x", "y"], True),
        ("digit", ["x", "77"], False),
        ("digit", [], False),
        ("absent", ["7"], False),
    ],
)
def test_a_type_admits_what_its_own_expressions_match(name, texts, matches):
    table = {"digit": ["[0-9]"], "wide": ["[0-9]|[a-z]"]}
    inf = quorle_ext.Inf("", ",", table, {"NA"}, False, False, "", 0)
    assert inf._type_matches(name, texts) is matches


@pytest.mark.parametrize(
    "expression, compiles",
    [("[0-9]+", True), ("(?:a|b)\\z", True), ("[0-9", False), ("(a", False), ("a{2,1}", False)],
)
def test_check_expression_compiles_as_a_table_does(expression, compiles):
    try:
        quorle_ext.Inf("", ",", {"t": [expression]}, set(), False, False, "", 0)
        table_compiles = True
    except RuntimeError:
        table_compiles = False
    try:
        quorle_ext._check_expression(expression)
        alone = True
    except RuntimeError:
        alone = False
    assert alone == table_compiles == compiles
    if not compiles:
        with pytest.raises(ValueError, match="does not compile"):
            parse_patterns({"t": [expression]})
