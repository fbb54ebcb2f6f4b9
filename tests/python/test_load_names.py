"""The names a load gives columns (an empty header cell is column_N in every database,
while the engine's report keeps its own name) and the one message every database gives
for a field that is not UTF-8."""

from __future__ import annotations

import contextlib
import gzip
import json
import pathlib
import sqlite3
import subprocess
import sys

import pytest

import quorle
from quorle import encoders

duckdb = pytest.importorskip("duckdb")

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
HANG_GUARD = 300  # seconds: only so that a hang fails instead of blocking the suite
DIALECTS = ("sqlite", "duckdb", "postgres")
TABLES = {
    "sqlite": "SELECT name FROM sqlite_master",
    "duckdb": "SELECT table_name FROM duckdb_tables()",
    "postgres": "SELECT tablename FROM pg_tables WHERE schemaname = 'public'",
}


def cli(*args):
    return subprocess.run(
        [QUORLE, *map(str, args)], capture_output=True, timeout=HANG_GUARD, check=False
    )


class Database:
    """A database of one dialect: its URL, and its tables and columns read back."""

    def __init__(self, dialect, tmp_path, server=None):
        self.dialect = dialect
        self.file = tmp_path / f"db.{dialect}"
        self.server = server
        self.url = server.url() if server else f"{dialect}:///{self.file}"

    def query(self, sql, fetch=True):
        if self.dialect == "postgres":
            import psycopg

            with psycopg.connect(self.server.url()) as con:
                cursor = con.execute(sql)
                return cursor.fetchall() if fetch else None
        if not self.file.exists():
            return []
        connect = sqlite3.connect if self.dialect == "sqlite" else duckdb.connect
        with contextlib.closing(connect(str(self.file))) as con:
            return con.execute(sql).fetchall()

    def tables(self):
        return {r[0] for r in self.query(TABLES[self.dialect])}

    def columns(self, table):
        if self.dialect == "sqlite":
            return [r[1] for r in self.query(f'PRAGMA table_info("{table}")')]
        return [
            r[0]
            for r in self.query(
                "SELECT column_name FROM information_schema.columns"
                f" WHERE table_name = '{table}' ORDER BY ordinal_position"
            )
        ]

    def rows(self, table):
        return [tuple(map(str, r)) for r in self.query(f'SELECT * FROM "{table}"')]


@pytest.fixture(params=DIALECTS)
def database(request, tmp_path):
    server = request.getfixturevalue("postgres") if request.param == "postgres" else None
    db = Database(request.param, tmp_path, server)
    yield db
    if server is not None:
        for table in db.tables():
            db.query(f'DROP TABLE "{table}"', fetch=False)


# Header bytes, and per column the name a table gets and the header cell the JSON keeps.
HEADERS = [
    # Empty cells are named by position; one that a later cell's name holds takes a suffix.
    (b",b,,column_3, ", ["column_1", "b", "column_3_2", "column_3", "column_5"],
     ["", "b", "", "column_3", " "]),
    # A cell that reads as the engine's own name for an empty cell keeps it.
    (b"Unitled_7,,b", ["Unitled_7", "column_2", "b"], ["Unitled_7", "", "b"]),
    (b"a,,COLUMN_2", ["a", "column_2_2", "COLUMN_2"], ["a", "", "COLUMN_2"]),
]  # fmt: skip


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("header, names, cells", HEADERS)
def test_schema_names_an_empty_header_cell_by_its_position(
    tmp_path, header, names, cells, compress
):
    data = header + b"\n" + b",".join(b"%d" % i for i in range(len(names))) + b"\n"
    path = tmp_path / ("t.csv.gz" if compress else "t.csv")
    path.write_bytes(gzip.compress(data) if compress else data)
    made = cli("schema", path, "--dialect", "json")
    assert made.returncode == 0, made.stderr
    (table,) = json.loads(made.stdout)["tables"]
    assert [(c["name"], c["header"]) for c in table["columns"]] == list(
        zip(names, cells, strict=True)
    )
    # The engine's report still names an empty cell its own way.
    reported = [c.name for c in quorle.infer(str(path)).columns]
    assert [r for r, c in zip(reported, cells, strict=True) if not c] == [
        f"Unitled_{i}" for i in range(1, cells.count("") + 1)
    ]


def test_a_load_names_empty_header_cells_by_position_in_every_database(database, tmp_path):
    path = tmp_path / "t.csv"
    path.write_bytes(b",b,,column_3\n1,x,2,y\n3,z,4,w\n")
    done = cli("load", path, "--into", database.url)
    assert done.returncode == 0, done.stderr
    assert database.columns("t") == ["column_1", "b", "column_3_2", "column_3"]
    assert database.rows("t") == [("1", "x", "2", "y"), ("3", "z", "4", "w")]


def test_a_schema_written_with_the_engines_names_still_loads(database, tmp_path):
    path = tmp_path / "old.csv"
    path.write_bytes(b"a,,b,\n1,x,2,y\n")
    made = cli("schema", path, "--dialect", "json")
    document = json.loads(made.stdout)
    # As written before: the engine's names, and no header cells.
    untitled = iter(range(1, 3))
    for column in document["tables"][0]["columns"]:
        if not column.pop("header"):
            column["name"] = f"Unitled_{next(untitled)}"
    schema = tmp_path / "s.json"
    schema.write_text(json.dumps(document))
    done = cli("load", path, "--into", database.url, "--schema", schema)
    assert done.returncode == 0, done.stderr
    assert database.columns("old") == ["a", "Unitled_1", "b", "Unitled_2"]
    assert database.rows("old") == [("1", "x", "2", "y")]


# Rows before the bad one: more than one batch of the engine's encoder.
ROWS_BEFORE = 25000


def test_a_field_not_utf8_gets_one_message_in_every_database(database, tmp_path):
    path = tmp_path / "late.csv"
    good = b"".join(b"%d,ok %d\n" % (i, i) for i in range(ROWS_BEFORE))
    path.write_bytes(b"id,name\n" + good + b"7,caf\x960 x\n8,fine\n")
    done = cli("load", path, "--into", database.url)
    line = ROWS_BEFORE + 2
    assert done.returncode == 1
    assert done.stderr.decode().splitlines()[-1] == (
        f'quorle: error: {path}: line {line}, column "name": not valid UTF-8'
        r" (bytes \x96\x30): nothing loaded"
    )
    assert database.tables() == set()


@pytest.mark.parametrize(
    "field, says",
    [
        (b"caf\x96", r"(byte \x96)"),  # the last byte: nothing after it to show
        (b"\xe2\x82x", r"(bytes \xe2\x82)"),  # a sequence cut short: shown from its start
        (b"ok \xed\xa0\x80", r"(bytes \xed\xa0)"),  # a surrogate, which UTF-8 never holds
    ],
)
def test_the_bytes_shown_are_the_first_bad_one_and_the_next(field, says):
    assert encoders.not_utf8(field) == f"not valid UTF-8 {says}"
