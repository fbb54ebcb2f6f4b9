"""Names in statements: hostile header cells and file names run through the real
clients (psql, the sqlite3 shell, DuckDB) run only the intended statements."""

from __future__ import annotations

import contextlib
import itertools
import json
import pathlib
import shutil
import sqlite3
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorle.inference.patterns import DEFAULT_PATTERNS
from quorle.inference.type_names import check_type_name
from quorle.sql.identifiers import (
    MAX_NAME_BYTES,
    SQL_DIALECTS,
    column_names,
    quote,
    table_names,
)
from quorle.sql.type_maps import sql_type

duckdb = pytest.importorskip("duckdb")

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite
SENTINEL = "sentinel"

LONG_A = "n" * 63 + "1234567"  # 70 bytes, the same first 63 as LONG_B
LONG_B = "n" * 63 + "7654321"
WIDE_A = "é" * 40  # cut at 62 bytes: a 2-byte character does not fit in the 63rd
WIDE_B = "é" * 31 + "ü" * 5
HOSTILE = [
    'a"); DROP TABLE sentinel; --',
    "p\x00",
    "\\! touch pwned",
    "x\n.shell touch pwned",
    "q\r\\! touch pwned",
    "select",
    "FROM",
    "Select",
    LONG_A,
    LONG_B,
    WIDE_A,
    WIDE_B,
    "",
    "tab\there",
]


def hostile_file(folder: pathlib.Path) -> pathlib.Path:
    cells = []
    for cell in HOSTILE:
        cells.append('"' + cell.replace('"', '""') + '"')
    path = folder / "hostile.csv"
    body = ",".join(str(i) for i in range(len(HOSTILE)))
    path.write_bytes((",".join(cells) + "\n" + body + "\n").encode("utf-8"))
    return path


def schema_text(path, dialect, *extra):
    done = subprocess.run(
        [QUORLE, "schema", str(path), "--dialect", dialect, *extra],
        capture_output=True, timeout=GUARD, cwd=path.parent,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr.decode()


def test_names_are_cut_distinct_and_unfolded_alike():
    names = column_names(HOSTILE)
    assert len({n.casefold() for n in names}) == len(HOSTILE)
    assert all(0 < len(n.encode("utf-8")) <= MAX_NAME_BYTES for n in names)
    assert all(ch >= " " for n in names for ch in n)
    assert names[HOSTILE.index(WIDE_A)] == "é" * 31  # 62 bytes, a whole character
    assert names[HOSTILE.index(LONG_B)].endswith("_2")
    assert names[HOSTILE.index("Select")] == "Select_2"


def test_file_names_that_differ_only_by_punctuation_or_case_get_their_own_tables():
    names = table_names(["x/a-b.csv", "y/a_b.csv", "A.csv", "a.csv", "z/" + "t" * 80 + ".csv"])
    assert names[:4] == ["a_b", "a_b_2", "A", "a_2"]
    assert len(names[4].encode()) == MAX_NAME_BYTES


def test_sqlite_shell_runs_only_the_table_definition(tmp_path):
    if shutil.which("sqlite3") is None:
        pytest.skip("the sqlite3 shell is absent (Debian package sqlite3)")
    path = hostile_file(tmp_path)
    ddl, warnings = schema_text(path, "sqlite")
    assert "column 2 ('p\\x00')" in warnings
    db = tmp_path / "shell.db"
    with contextlib.closing(sqlite3.connect(db)) as con:
        con.execute(f"CREATE TABLE {SENTINEL} (x)")
        con.commit()
    done = subprocess.run(["sqlite3", "-bail", str(db)], input=ddl, capture_output=True,
                          cwd=tmp_path, timeout=GUARD)  # fmt: skip
    assert done.returncode == 0, done.stderr
    with contextlib.closing(sqlite3.connect(db)) as con:
        tables = {r[0] for r in con.execute("SELECT name FROM sqlite_master")}
        columns = con.execute('PRAGMA table_info("hostile")').fetchall()
    assert tables == {SENTINEL, "hostile"}
    assert len(columns) == len(HOSTILE)
    assert not list(tmp_path.glob("pwned*"))


def test_psql_runs_only_the_table_definition(postgres, tmp_path):
    path = hostile_file(tmp_path)
    ddl, _ = schema_text(path, "postgres")
    env = postgres.client_env()
    psql = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-1"]
    subprocess.run([*psql, "-c", f"CREATE TABLE {SENTINEL} (x int)"], env=env, check=True,
                   timeout=GUARD)  # fmt: skip
    try:
        done = subprocess.run(psql, input=ddl, capture_output=True, env=env, cwd=tmp_path,
                              timeout=GUARD)  # fmt: skip
        assert done.returncode == 0, done.stderr
        listed = subprocess.run(
            [*psql, "-A", "-t", "-c",
             "SELECT relname, relnatts FROM pg_class WHERE relkind = 'r'"
             " AND relnamespace = 'public'::regnamespace ORDER BY 1"],
            capture_output=True, text=True, env=env, check=True, timeout=GUARD,
        ).stdout.split()  # fmt: skip
        assert listed == [f"hostile|{len(HOSTILE)}", f"{SENTINEL}|1"]
        assert not list(tmp_path.glob("pwned*"))
    finally:
        subprocess.run([*psql, "-c", "DROP TABLE IF EXISTS hostile, sentinel"], env=env,
                       timeout=GUARD)  # fmt: skip


@pytest.mark.parametrize("dialect", ["sqlite", "duckdb", "postgres"])
def test_load_with_hostile_headers_leaves_the_sentinel(request, tmp_path, dialect):
    path = hostile_file(tmp_path)
    if dialect == "postgres":
        server = request.getfixturevalue("postgres")
        url = server.url()
        import psycopg

        connect = lambda: psycopg.connect(url)  # noqa: E731
    else:
        db = tmp_path / f"h.{dialect}"
        url = f"{dialect}:///{db}"
        module = sqlite3 if dialect == "sqlite" else duckdb
        connect = lambda: contextlib.closing(module.connect(str(db)))  # noqa: E731
    with connect() as con:
        con.execute(f"CREATE TABLE {SENTINEL} (x INTEGER)")
        con.commit()
    try:
        done = subprocess.run([QUORLE, "load", str(path), "--into", url], capture_output=True,
                              cwd=tmp_path, timeout=GUARD)  # fmt: skip
        assert done.returncode == 0, done.stderr
        with connect() as con:
            con.execute(f"SELECT count(*) FROM {SENTINEL}").fetchall()
            row = con.execute("SELECT * FROM hostile").fetchall()
        assert row == [tuple(range(len(HOSTILE)))]
        assert not list(tmp_path.glob("pwned*"))
    finally:
        if dialect == "postgres":
            with connect() as con:
                con.execute(f"DROP TABLE IF EXISTS hostile, {SENTINEL}")


@pytest.mark.parametrize(
    "type_name, good",
    [
        ("integer", True),
        ("timestamp with time zone", True),
        ("DECIMAL(12, 4)", True),
        ("myschema.money_type", True),
        ("character varying(20)[]", True),
        ("INT); DROP TABLE x; --", False),
        ("text -- comment", False),
        ("int\n", False),
        ('"quoted"', False),
        ("numeric(1e3)", False),
        ("", False),
    ],
)
def test_pattern_file_sql_types_must_be_type_names(tmp_path, type_name, good):
    patterns = tmp_path / "p.json"
    patterns.write_text(
        json.dumps({"code": {"patterns": ["[A-Z]+"], "sql": {"postgres": type_name}}})
    )
    data = tmp_path / "d.csv"
    data.write_text("c\nAB\n")
    done = subprocess.run(
        [QUORLE, "schema", str(data), "--dialect", "postgres", "--patterns", str(patterns)],
        capture_output=True, text=True, timeout=GUARD,
    )  # fmt: skip
    if good:
        assert done.returncode == 0, done.stderr
        assert f'"c" {type_name} NOT NULL' in done.stdout
    else:
        assert done.returncode == 2
        assert repr(type_name) in done.stderr and done.stdout == ""
    assert (check_type_name(type_name) == type_name) if good else True


@pytest.mark.parametrize(
    "type_name",
    ["double precision", "DOUBLE  Precision", "timestamp without time zone", "time with time zone",
     "national character varying(3)", "bit varying", "char varying(4)[]", "numeric(12, 2)",
     "pg_catalog.int4", "nullable_enum", "Uniqueness", "notes_t"],
)  # fmt: skip
def test_one_type_is_a_type_name(type_name):
    assert check_type_name(type_name) == type_name


@pytest.mark.parametrize(
    "type_name, word",
    [
        ("integer references victim_data", "references"),
        ("integer REFERENCES victim_data(id)", "REFERENCES"),
        ("integer unique", "unique"),
        ("text default current_user", "default"),
        ("integer generated always as identity", "generated"),
        ("integer primary key", "primary"),
        ("int check (1)", "check"),
        ("int constraint c", "constraint"),
        ("text collate nocase", "collate"),
        ("integer Not Null", "Not"),
        ("null", "null"),  # SQLite: a column without a type, and a constraint
        ("Unique", "Unique"),
        ("as(1)", "as"),  # SQLite and DuckDB: a column generated from the expression 1
        ("integer foo", None),
        ("text timestamp", None),
        ("timestamp with zone", None),
    ],
)
def test_a_constraint_or_an_unknown_run_of_words_is_refused(type_name, word):
    with pytest.raises(ValueError) as refused:
        check_type_name(type_name)
    message = str(refused.value)
    assert repr(type_name) in message
    assert (repr(word) in message) if word else "double precision" in message


@pytest.mark.parametrize("dialect", SQL_DIALECTS)
def test_every_type_of_the_type_map_is_a_type_name(dialect):
    for name, fits in itertools.product(DEFAULT_PATTERNS.names(), (None, True, False)):
        for length in (1, 9, 10, 18, 19, 30, 40):
            type_name = sql_type(name, dialect, length, fits_double=fits, fits_int64=fits)
            assert check_type_name(type_name) == type_name


MULTI_WORD = {"n": "double precision", "c": "timestamp with time zone"}
# The columns' types as each database reports them: (query, types).
READ_BACK = {
    "duckdb": ("SELECT column_name, data_type FROM information_schema.columns"
               " WHERE table_name = 'd' ORDER BY ordinal_position",
               {**MULTI_WORD, "n": "double"}),
    "postgres": ("SELECT attname, format_type(atttypid, atttypmod) FROM pg_attribute"
                 " WHERE attrelid = 'd'::regclass AND attnum > 0 ORDER BY attnum",
                 MULTI_WORD),
}  # fmt: skip


def schema_with_types(tmp_path, dialect, types):
    patterns = tmp_path / "p.json"
    patterns.write_text(json.dumps({
        "num": {"patterns": ["[0-9]+"], "sql": {dialect: types["n"]}},
        "code": {"patterns": ["[A-Z]+"], "sql": {dialect: types["c"]}},
    }))  # fmt: skip
    (tmp_path / "d.csv").write_text("n,c\n1,AB\n")
    return subprocess.run(
        [QUORLE, "schema", "d.csv", "--dialect", dialect, "--patterns", str(patterns)],
        capture_output=True, text=True, timeout=GUARD, cwd=tmp_path,
    )  # fmt: skip


@pytest.mark.parametrize("dialect", ["duckdb", "postgres"])
def test_a_pattern_files_type_is_one_type_in_the_table_definition(request, tmp_path, dialect):
    refused = schema_with_types(tmp_path, dialect, {**MULTI_WORD, "c": "text unique"})
    assert refused.returncode == 2 and refused.stdout == ""
    assert "'text unique'" in refused.stderr and "'unique'" in refused.stderr
    done = schema_with_types(tmp_path, dialect, MULTI_WORD)
    assert done.returncode == 0, done.stderr
    query, types = READ_BACK[dialect]
    if dialect == "duckdb":
        con = duckdb.connect()
        try:
            con.execute(done.stdout)
            columns = con.execute(query).fetchall()
        finally:
            con.close()
    else:
        import psycopg

        with psycopg.connect(request.getfixturevalue("postgres").url()) as con:
            con.execute(done.stdout)
            columns = con.execute(query).fetchall()
            con.rollback()
    assert {name: kind.lower() for name, kind in columns} == types


HEADER_TEXT = st.text(st.characters(codec="utf-8"), max_size=80)


@settings(max_examples=300, deadline=None)
@given(HEADER_TEXT)
def test_a_name_reads_back_as_one_identifier_in_sqlite_and_duckdb(text):
    (name,) = column_names([text])
    with contextlib.closing(sqlite3.connect(":memory:")) as con:
        cursor = con.execute(f"SELECT 1 AS {quote(name, 'sqlite')}")
        assert [d[0] for d in cursor.description] == [name]
    con = duckdb.connect()
    try:
        con.execute(f"SELECT 1 AS {quote(name, 'duckdb')}")
        assert [d[0] for d in con.description] == [name]
    finally:
        con.close()


@settings(
    max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.lists(HEADER_TEXT, min_size=1, max_size=20))
def test_names_read_back_as_identifiers_through_psql(postgres, headers):
    names = column_names(headers)
    select = "SELECT " + ", ".join(f"1 AS {quote(n, 'postgres')}" for n in names) + ";\n"
    done = subprocess.run(
        ["psql", "-X", "-A", "-z", "-0", "-v", "ON_ERROR_STOP=1"],
        input=select.encode("utf-8"), capture_output=True, env=postgres.client_env(), timeout=GUARD,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    # Unaligned output, NUL-separated: the header's names, then the one row.
    fields = done.stdout.split(b"\0")
    assert [f.decode("utf-8") for f in fields[: len(names)]] == names


def test_psql_copy_loads_as_an_ordinary_role(postgres, tmp_path):
    folder = tmp_path / "it's a folder; \\! touch pwned"
    folder.mkdir()
    path = folder / "orders.csv"
    path.write_text('id,name\n1,"a, b"\n2,NA\n3,\\.\n')
    ddl, _ = schema_text(path, "postgres", "--psql", "--na", "NA")
    assert b"\\copy" in ddl
    env = postgres.client_env()
    psql = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-1"]
    try:
        done = subprocess.run(psql, input=ddl, capture_output=True, env=env, cwd=tmp_path,
                              timeout=GUARD)  # fmt: skip
        assert done.returncode == 0, done.stderr
        rows = subprocess.run(
            [*psql, "-A", "-t", "-c",
             "SELECT id, coalesce(name, '<null>') FROM orders ORDER BY id"],
            capture_output=True, text=True, env=env, check=True, timeout=GUARD,
        ).stdout.splitlines()  # fmt: skip
        assert rows == ["1|a, b", "2|<null>", "3|\\."]
        assert not list(tmp_path.rglob("pwned*"))
    finally:
        subprocess.run([*psql, "-c", "DROP TABLE IF EXISTS orders"], env=env, timeout=GUARD)


def test_psql_copy_of_a_path_with_a_line_end_is_a_comment(tmp_path):
    folder = tmp_path / "two\nlines"
    folder.mkdir()
    path = folder / "t.csv"
    path.write_text("a\n1\n")
    ddl, _ = schema_text(path, "postgres", "--psql")
    assert b"-- Not loadable with \\copy" in ddl and b"\\copy " not in ddl.replace(
        b"with \\copy", b""
    )
