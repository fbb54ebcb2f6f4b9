"""Type maps, names, load statements and the JSON description of `quorle.schema`."""

from __future__ import annotations

import dataclasses
import gzip
import json
import pathlib
import subprocess
import sys
from decimal import Decimal

import pytest

import quorle
from quorle.inference.patterns import DEFAULT_PATTERNS, parse_patterns
from quorle.sql.table_schema import column_names, sql_type, table_name

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))

duckdb = pytest.importorskip("duckdb")
SQL = ("sqlite", "postgres", "duckdb")


def extreme_texts(kind, length):
    """Fields of exactly `length` characters that are hardest to hold."""
    if kind == "integer":
        return ["9" * length, "-" + "9" * (length - 1)] if length > 1 else ["9"]
    # Decimals: all digits before the point, all after, and both signs.
    out = ["." + "9" * (length - 1), "-." + "9" * (length - 2)] if length > 2 else []
    if length > 2:
        out += [
            "9" * (length - 2) + ".9",
            "-" + "9" * (length - 3) + ".9",
            "0." + "1" * (length - 2),
        ]
    return out


@pytest.mark.parametrize("kind", ["integer", "decimal"])
def test_duckdb_types_hold_the_longest_fields_exactly(kind):
    con = duckdb.connect()
    for length in range(1, 45):
        column = sql_type(kind, "duckdb", length)
        for text in extreme_texts(kind, length):
            if column == "VARCHAR":
                continue  # text keeps it by definition
            (value,) = con.execute(f"SELECT CAST(? AS {column})", [text]).fetchone()
            assert Decimal(value) == Decimal(text), (text, column)


@pytest.mark.parametrize("kind", ["integer", "decimal"])
def test_sqlite_types_hold_the_longest_fields_exactly(kind, sqlite_memory):
    con = sqlite_memory
    for length in range(1, 30):
        column = sql_type(kind, "sqlite", length)
        con.execute("DROP TABLE IF EXISTS t")
        con.execute(f"CREATE TABLE t (v {column}) STRICT")
        for text in extreme_texts(kind, length):
            con.execute("DELETE FROM t")
            con.execute("INSERT INTO t VALUES (?)", (text,))
            (value,) = con.execute("SELECT v FROM t").fetchone()
            held = Decimal(repr(value)) if isinstance(value, float) else Decimal(value)
            assert held == Decimal(text), (text, column)


def test_narrow_types_where_they_are_safe():
    # The map must not fall back to text when a number type holds every value.
    assert sql_type("integer", "duckdb", 18) == "BIGINT"
    assert sql_type("integer", "sqlite", 18) == "INTEGER"
    assert sql_type("decimal", "duckdb", 19).startswith("DECIMAL(")
    assert sql_type("decimal", "postgres", 80) == "numeric"


@pytest.mark.parametrize(
    "table, type_name, dialect, expected",
    [
        # A user's map wins: DOUBLE only when asked for.
        (
            {"decimal": {"patterns": ["[0-9]+\\.[0-9]+"], "sql": {"duckdb": "DOUBLE"}}},
            "decimal",
            "duckdb",
            "DOUBLE",
        ),
        # Exponents do not fit a fixed-point type.
        ({"decimal": ["[0-9]+(\\.[0-9]+)?([eE][+-]?[0-9]+)?"]}, "decimal", "duckdb", "VARCHAR"),
        ({"decimal": ["[0-9]+(\\.[0-9]+)?([eE][+-]?[0-9]+)?"]}, "decimal", "postgres", "numeric"),
        # A datetime type that also matches offsets would lose them in a plain timestamp.
        (
            {"datetime": ["[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}(Z)?"]},
            "datetime",
            "duckdb",
            "VARCHAR",
        ),
        ({"datetime": ["[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}"]}, "datetime", "duckdb", "TIMESTAMP"),
        # Fractions beyond the microsecond would be cut off.
        ({"time": ["[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]+)?"]}, "time", "postgres", "text"),
        ({"time": ["[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{1,6})?"]}, "time", "postgres", "time"),
        ({"nonsense": ["x+"]}, "nonsense", "duckdb", "VARCHAR"),
    ],
)
def test_type_map_follows_what_the_expressions_can_match(table, type_name, dialect, expected):
    assert sql_type(type_name, dialect, 40, parse_patterns(table)) == expected


def test_default_numbers_with_exponents_stay_exact():
    scientific = {d: sql_type("scientific", d, 12, DEFAULT_PATTERNS) for d in SQL}
    assert scientific == {"sqlite": "TEXT", "postgres": "numeric", "duckdb": "VARCHAR"}
    assert sql_type("decimal", "duckdb", 12, DEFAULT_PATTERNS) == "DECIMAL(23,11)"


def test_default_table_keeps_plain_and_zoned_datetimes_apart():
    plain = {d: sql_type("datetime", d, 26, DEFAULT_PATTERNS) for d in ("duckdb", "postgres")}
    zoned = {d: sql_type("datetimetz", d, 32, DEFAULT_PATTERNS) for d in ("duckdb", "postgres")}
    assert plain == {"duckdb": "TIMESTAMP", "postgres": "timestamp"}
    assert zoned == {"duckdb": "TIMESTAMPTZ", "postgres": "timestamp with time zone"}


@pytest.mark.parametrize(
    "headers",
    [["a", "", "a", "A", ""], ["x", "x_2", "x"], ['q"uote', "select", " "], ["", "column_1"]],
)
def test_column_names_are_distinct_and_usable(headers):
    names = column_names(headers)
    assert len({n.lower() for n in names}) == len(headers)
    assert all(n.strip() for n in names)
    # A name's first use keeps it.
    for i, header in enumerate(headers):
        if header.strip() and header.lower() not in {h.lower() for h in headers[:i]}:
            assert names[i] == header
    # The names work in a real database, quoted as the schema quotes them.
    quoted = ", ".join('"' + n.replace('"', '""') + '" INTEGER' for n in names)
    duckdb.connect().execute(f"CREATE TABLE t ({quoted})")


@pytest.mark.parametrize(
    "path, expected",
    [
        ("orders.csv", "orders"),
        ("2024 sales-data.csv", "t_2024_sales_data"),
        ("/x/y/weird.name.tsv", "weird_name"),
        (".csv", "_csv"),
    ],
)
def test_table_names_from_file_stems(path, expected):
    assert table_name(path) == expected


def write(tmp_path, text, name="orders.csv"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


POSTGRES_CASES = [
    # One missing-value string in the file: COPY maps it to NULL, quoted ones too.
    (
        "id,amount\n1,2.5\n2,NA\n",
        ["NA", ""],
        "COPY \"orders\" FROM '{path}' WITH (FORMAT csv, HEADER true, DELIMITER ',', QUOTE '\"', "
        "NULL 'NA', FORCE_NULL (\"amount\"));",
    ),
    # No missing values: any of the strings is safe, since none occurs as a value.
    (
        "id;name\n1;x\n",
        ["NA", "null"],
        "COPY \"orders\" FROM '{path}' WITH (FORMAT csv, HEADER true, DELIMITER ';', QUOTE '\"', "
        "NULL 'NA');",
    ),
    # Two strings in one column: one NULL string cannot load both.
    (
        "id,amount\n1,NA\n2,null\n",
        ["NA", "null"],
        "-- Not loadable with one COPY: the missing values are several strings ('NA', 'null'),"
        " COPY takes one NULL string.",
    ),
    # Two strings in two columns are just as wrong.
    (
        "a,b\nNA,1\n2,null\n",
        ["NA", "null"],
        "-- Not loadable with one COPY: the missing values are several strings ('NA', 'null'),"
        " COPY takes one NULL string.",
    ),
    (
        "a,b\n1,2\n3\n",
        ["NA"],
        "-- Not loadable with COPY: 1 row is shorter than the header; use quorle load, which"
        " streams values and has none of these limits.",
    ),
]


@pytest.mark.parametrize("text, na, expected", POSTGRES_CASES)
def test_postgres_load_statements(tmp_path, text, na, expected):
    path = write(tmp_path, text)
    result = quorle.infer(path, na_values=na)
    out = quorle.schema(result, "postgres", na_values=na, load=True)
    assert out.split("\n\n")[-1] == expected.format(path=path)


def test_duckdb_load_lists_every_missing_value_string(tmp_path):
    path = write(tmp_path, "a\n1\n", name="it's.csv")
    out = quorle.schema(
        quorle.infer(path, na_values=["NA", "", "-"]),
        "duckdb",
        na_values=["NA", "", "-"],
        load=True,
    )
    assert out.split("\n\n")[-1] == (
        f"COPY \"it_s\" FROM '{path.replace(chr(39), chr(39) * 2)}' (FORMAT csv, HEADER true, "
        "DELIMITER ',', QUOTE '\"', ESCAPE '\"', NULLSTR ['', '-', 'NA'], "
        "AUTO_DETECT false);"
    )


def test_sqlite_has_no_load_statement_and_table_option_names_the_table(tmp_path):
    path = write(tmp_path, "a\n1\n")
    out = quorle.schema(quorle.infer(path), "sqlite", table="my table", load=True)
    assert out == 'CREATE TABLE "my table" (\n  "a" INTEGER NOT NULL\n) STRICT;'


def test_json_description(tmp_path):
    first = quorle.infer(write(tmp_path, "n,when\n1,2024-01-02\n22,NA\n"))
    second = quorle.infer(write(tmp_path, "x\nabc\n", name="b.csv"))
    described = json.loads(quorle.schema([first, second], "json"))
    assert [t["name"] for t in described["tables"]] == ["orders", "b"]
    n, when = described["tables"][0]["columns"]
    assert (n["type"], n["nullable"], n["max_length"]) == ("integer", False, 2)
    assert (when["type"], when["nullable"]) == ("date", True)
    assert when["sql"] == {"sqlite": "TEXT", "postgres": "date", "duckdb": "DATE"}
    assert sum(n["counts"].values()) == described["tables"][0]["rows"]


@pytest.mark.parametrize("bad", [dict(dialect="mysql"), dict(dialect="json", table="t", two=True)])
def test_bad_arguments(tmp_path, bad):
    result = quorle.infer(write(tmp_path, "a\n1\n"))
    results = [result, result] if bad.pop("two", False) else [result]
    with pytest.raises(ValueError):
        quorle.schema(results, **bad)


def test_postgres_load_of_input_that_cannot_be_read_again(tmp_path):
    # What a pipe leaves behind: a path that is not a regular file any more, in a result saved
    # without the missing-value strings the pass found.
    result = quorle.infer(write(tmp_path, "a,b\n1,NA\n2,null\n"))
    quirks = {k: v for k, v in result.quirks.items() if k != "na_spellings"}
    gone = dataclasses.replace(result, path=str(tmp_path), quirks=quirks)
    assert quorle.schema(gone, "postgres", load=True).endswith(
        "-- Not loadable with one COPY: the input cannot be read again to find which"
        " missing-value strings it holds."
    )


@pytest.mark.parametrize("dialect", ["postgres", "duckdb"])
@pytest.mark.parametrize(
    "na, held",
    [
        (["x,y"], "the delimiter"),
        (['"NA"'], "a quote"),
        (["a\nb"], "a line end"),
        (["\r"], "a line end"),
    ],
)
def test_missing_value_string_that_is_file_syntax_makes_no_statement(tmp_path, dialect, na, held):
    # In a NULL option such a string is read as the file's own syntax, and rows load wrong.
    path = write(tmp_path, "id,amount\n1,2\n")
    out = quorle.schema(quorle.infer(path, na_values=na), dialect, na_values=na, load=True)
    last = out.split("\n\n")[-1]
    assert last.startswith("-- Not loadable with COPY: the missing-value string"), last
    assert held in last
    assert "\n" not in last and "\r" not in last


@pytest.mark.parametrize("dialect", ["postgres", "duckdb"])
@pytest.mark.parametrize(
    "store, options, why",
    [
        (gzip.compress, [], "the file is gzip-compressed"),
        (lambda b: b.decode().encode("cp1252"), ["--encoding", "cp1252"], "the file is in cp1252"),
    ],
    ids=["gzip", "cp1252"],
)
def test_files_of_one_header_read_otherwise_get_a_comment_not_a_copy(
    tmp_path, dialect, store, options, why
):
    # Files of one header share a table: how each was read must reach its load statement.
    paths = []
    for name in ("a.csv", "b.csv"):
        paths.append(tmp_path / name)
        paths[-1].write_bytes(store("id,nom\n1,café\n2,naïve\n".encode()))
    done = subprocess.run(
        [QUORLE, "schema", *paths, "--dialect", dialect, "--load", *options],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    statements = done.stdout.split("\n\n")
    assert len(statements) == 3, done.stdout
    assert all(why in s and s.startswith("-- Not loadable") for s in statements[1:]), done.stdout
