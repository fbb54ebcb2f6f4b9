"""The names a load gives columns (an empty header cell is column_N in every database,
while the engine's report keeps its own name) and the one message every database gives
for a field that is not UTF-8."""

from __future__ import annotations

import gzip
import json
import pathlib
import subprocess
import sys

import pytest

import quorle
from quorle.loading import encoders

duckdb = pytest.importorskip("duckdb")

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
HANG_GUARD = 300  # seconds: only so that a hang fails instead of blocking the suite


def cli(*args):
    return subprocess.run(
        [QUORLE, *map(str, args)], capture_output=True, timeout=HANG_GUARD, check=False
    )


def column_names(database, table):
    return [name for name, _ in database.columns(table)]


def texts(database, table):
    return [tuple(map(str, r)) for r in database.query(f'SELECT * FROM "{table}"')]


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
    assert column_names(database, "t") == ["column_1", "b", "column_3_2", "column_3"]
    assert texts(database, "t") == [("1", "x", "2", "y"), ("3", "z", "4", "w")]


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
    assert column_names(database, "old") == ["a", "Unitled_1", "b", "Unitled_2"]
    assert texts(database, "old") == [("1", "x", "2", "y")]


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
