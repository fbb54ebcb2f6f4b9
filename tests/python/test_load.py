"""`quorle load` into real SQLite, DuckDB and PostgreSQL databases: every value read
back and compared, failures that leave nothing, and the console script's codes."""

from __future__ import annotations

import bz2
import codecs
import contextlib
import csv
import datetime as dt
import gzip
import io
import json
import lzma
import os
import pathlib
import signal
import sqlite3
import subprocess
import sys
import time
from decimal import Decimal

import pytest
import zstandard
from load_databases import kind_of

import quorle
from quorle.engine import rows as row_reader
from quorle.loading import encoders, fill
from quorle.loading.load_errors import LoadError, LoadUsageError

duckdb = pytest.importorskip("duckdb")

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "data" / "sample.csv"
HANG_GUARD = 300  # seconds: only so that a hang fails instead of blocking the suite
LOADING_GUARD = 60  # seconds for a load to begin writing


def expected(text, kind):
    """What the database must hold for a field, by the definition of equal."""
    if kind in ("integer", "decimal"):
        return Decimal(text)
    if kind == "double":
        return float(text)
    if kind == "boolean":
        return text.lower() in ("true", "yes")
    if kind == "date":
        return dt.date.fromisoformat(text)
    if kind == "time":
        return dt.time.fromisoformat(text)
    if kind == "timestamp":
        return dt.datetime.fromisoformat(text)
    if kind == "instant":
        return round(dt.datetime.fromisoformat(text).timestamp() * 1_000_000)
    return text


def held(value, kind):
    if kind in ("integer", "decimal"):
        return Decimal(value)
    return value


def compare(rows, stored, columns, na):
    assert len(stored) == len(rows)
    width = len(columns)
    for line, (fields, back) in enumerate(zip(rows, stored, strict=True), start=2):
        fields = list(fields) + [None] * (width - len(fields))
        for (name, sql_type), text, value in zip(columns, fields, back, strict=True):
            kind = kind_of(sql_type)
            where = f"line {line}, column {name} ({sql_type}): {text!r} -> {value!r}"
            if text is None or text in na:
                assert value is None, where
            else:
                assert value is not None, where
                assert held(value, kind) == expected(text, kind), where


def write_rows(path, rows, prefix=b"", terminator="\n"):
    buf = io.StringIO()
    csv.writer(buf, lineterminator=terminator).writerows(rows)
    path.write_bytes(prefix + buf.getvalue().encode("utf-8"))
    return path


def cli(*args, stdin=None, **kwargs):
    return subprocess.run(
        [QUORLE, *map(str, args)], capture_output=True, timeout=HANG_GUARD, input=stdin,
        **kwargs,
    )  # fmt: skip


def tricky_text():
    rows = [["id", "note", "amount", "when", "flag"]]
    notes = [
        'say "hi"',
        "two\nlines",
        "cr\r\nlf",
        "\\.",
        'ab"c',
        "",
        "naïve café ☕",
        "a,b;c\tt",
        "  spaced  ",
        "\\N",
    ]
    for i, note in enumerate(notes * 5):
        rows.append(
            [str(i), note, f"{i}.{i % 7}0", f"2024-01-{i % 28 + 1:02d}", "yes" if i % 2 else "no"]
        )
    rows.append(["99", "NA", "+7", "NA", "NA"])
    return rows


def numbers():
    # "edge": ten characters, past 32 bits: a narrower integer tier fails to load it.
    rows = [["n", "d", "big", "tiny", "edge"]]
    for i in range(60):
        rows.append([f"+{i}", f"0.33255{i:02d}", str(10**17 + i), f"-0.{i:03d}", str(2**31 + i)])
    rows.append(["-0", "0.3325544", str(-(10**17)), "", "-999999999"])
    return rows


def zoned_and_short():
    rows = [["k", "zoned", "plain", "extra"]]
    for i in range(1, 25):
        rows.append([str(i), f"2024-03-{i:02d} 10:{i:02d}:00{['Z', '+05:30', '-0800'][i % 3]}",
                     f"2024-03-{i:02d}T{i % 24:02d}:00:0{i % 10}", f"x{i}"])  # fmt: skip
    return rows + [["25", "2024-03-25T00:00:00Z"], ["26"]]


FILES = {
    "tricky_text": (tricky_text(), "\n"),
    "cr_only": (tricky_text(), "\r"),
    "crlf_numbers": (numbers(), "\r\n"),
    "zoned_and_short": (zoned_and_short(), "\n"),
}
NA = ("", "NA")


def read_csv(path):
    with open(path, newline="", encoding="utf-8-sig") as f:
        return list(csv.reader(f))


@pytest.mark.parametrize("name", ["sample", *sorted(FILES)])
def test_every_value_arrives_equal(database, tmp_path, name):
    if name == "sample":
        path, na = SAMPLE, tuple(quorle.DEFAULT_NA_VALUES)
        extra = []
    else:
        rows, terminator = FILES[name]
        path = write_rows(tmp_path / f"{name}.csv", rows, terminator=terminator)
        na, extra = NA, ["--na", *NA]
    done = cli("load", path, "--into", database.url, *extra)
    assert done.returncode == 0, done.stderr
    table = path.stem
    assert database.tables() == {table}
    rows = read_csv(path)
    compare(rows[1:], database.values(table), database.columns(table), na)


SQLITE_KINDS = [encoders.sqlite_converter(t) for t in ("INTEGER", "REAL", "TEXT")]


@pytest.mark.parametrize(
    "rows, want",
    [
        # Missing values and padding are None; "+7" and "007" are 7; "1e3" is a REAL.
        ([[b"+7", b"1e3", b"caf\xc3\xa9"], [b"NA", None, b""], [b"007", b".5", b"NA "]],
         [(7, 1000.0, "café"), (None, None, None), (7, 0.5, "NA ")]),
        # Two bad fields: the first in the rows' order is named, not the first column's.
        ([[b"1", b"2", b"ok"], [b"3", b"x", b"ok"], [b"y", b"4", b"ok"]], (1, 1, "not a decimal")),
        ([[b"1", b"2", b"\xff"], [b"9223372036854775808", b"4", b"ok"]], (0, 2, "not valid UTF-8")),
        ([[b"9223372036854775808", b"4", b"ok"]], (0, 0, "does not fit in 64 bits")),
    ],
)  # fmt: skip
def test_sqlite_values_convert_a_column_at_a_time_and_name_the_first_failure(rows, want):
    na = frozenset({b"NA", b""})
    if isinstance(want, list):
        assert encoders.sqlite_rows(rows, SQLITE_KINDS, na) == want
        return
    with pytest.raises(encoders.FieldError, match=want[2]) as failed:
        encoders.sqlite_rows(rows, SQLITE_KINDS, na)
    assert (failed.value.row, failed.value.column) == want[:2]


def test_doubles_are_correctly_rounded_in_sqlite(tmp_path):
    path = write_rows(tmp_path / "d.csv", [["x"], ["0.3325544"], ["1.5"]])
    db = tmp_path / "d.db"
    quorle.load(str(path), f"sqlite:///{db}")
    with contextlib.closing(sqlite3.connect(db)) as con:
        stored = con.execute("SELECT x, typeof(x) FROM d ORDER BY rowid").fetchall()
    assert stored == [(0.3325544, "real"), (1.5, "real")]


def long_file(tmp_path, rows=200_000, last=None):
    path = tmp_path / "big.csv"
    with open(path, "w") as f:
        f.write("id,value,label\n")
        for i in range(rows):
            f.write(f"{i},{i * 3}.25,label {i}\n")
        if last:
            f.write(last)
    return path


def test_bad_row_at_the_end_leaves_nothing(database, tmp_path):
    path = long_file(tmp_path, 50_000, last="1,2,3,4\n")
    done = cli("load", path, "--into", database.url)
    assert done.returncode == 1
    err = done.stderr.decode()
    assert f"{path}, line 50002" in err and "longer than the header (3 fields)" in err, err
    assert "Traceback" not in err
    assert database.tables() == set()
    if database.file is not None:
        assert not database.file.exists()  # the run created it, the run removed it


def test_a_duckdb_load_binds_no_parameters_so_pandas_stays_unloaded(tmp_path):
    # The duckdb package imports pandas for any parameter list: 0.4 s of a small load.
    path = write_rows(tmp_path / "p.csv", [["a", "b"], ["1", "x"]])
    url = f"duckdb:///{tmp_path / 'p.duckdb'}"
    load = f"quorle.load({str(path)!r}, {url!r})"
    code = f"import sys, quorle\n{load}\nprint('pandas' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "False"


@pytest.mark.parametrize("refused_at", [None, 4_000])
def test_duckdb_takes_a_file_in_parts_in_order(tmp_path, monkeypatch, refused_at):
    # Parts of a few kilobytes: the rows' order and the line of a refused value must hold
    # across the parts' boundaries.
    from quorle.loading import duckdb_db

    monkeypatch.setattr(duckdb_db, "PART_BYTES", 4096)
    monkeypatch.setattr(fill, "BATCH_ROWS", 100)
    patterns = tmp_path / "p.json"
    sql = {"sqlite": "INTEGER", "duckdb": "INTEGER", "postgres": "integer"}
    patterns.write_text(json.dumps({"num": {"patterns": ["[0-9]+x?"], "sql": sql}}))
    numbers = [f"{i}x" if i == refused_at else str(i) for i in range(5_000)]
    rows = [["n", "label"]] + [[n, f"l {i}"] for i, n in enumerate(numbers)]
    path = write_rows(tmp_path / "parts.csv", rows)
    db = tmp_path / "parts.duckdb"
    if refused_at is None:
        quorle.load(str(path), f"duckdb:///{db}", patterns=str(patterns), na_values=[""])
        with contextlib.closing(duckdb.connect(str(db))) as con:
            got = con.execute('SELECT n, label FROM "parts"').fetchall()
        assert got == [(i, f"l {i}") for i in range(5_000)]
    else:
        with pytest.raises(LoadError, match=rf"line {refused_at + 2}, column n"):
            quorle.load(str(path), f"duckdb:///{db}", patterns=str(patterns), na_values=[""])
        assert not db.exists()


def test_replace_keeps_the_old_table_when_the_new_load_fails(database, tmp_path):
    good = write_rows(tmp_path / "t.csv", [["a", "b"], ["1", "x"], ["2", "y"]])
    assert cli("load", good, "--into", database.url).returncode == 0
    bad = write_rows(tmp_path / "bad.csv", [["a", "b"], ["5", "z"], ["6", "z", "extra"]])
    done = cli("load", bad, "--into", database.url, "--table", "t", "--if-exists", "replace")
    assert done.returncode == 1, done.stderr
    assert database.values("t") == [(1, "x"), (2, "y")]


def test_if_exists(database, tmp_path):
    first = write_rows(tmp_path / "t.csv", [["a", "b"], ["1", "x"]])
    more = write_rows(tmp_path / "more.csv", [["a", "b"], ["2", "y"], ["3", "z"]])
    other = write_rows(tmp_path / "other.csv", [["a", "c"], ["4", "w"]])
    assert cli("load", first, "--into", database.url).returncode == 0
    refused = cli("load", first, "--into", database.url)
    assert refused.returncode == 2 and b"--if-exists" in refused.stderr
    appended = cli("load", more, "--into", database.url, "--table", "t", "--if-exists", "append")
    assert appended.returncode == 0, appended.stderr
    assert database.values("t") == [(1, "x"), (2, "y"), (3, "z")]
    differs = cli("load", other, "--into", database.url, "--table", "t", "--if-exists", "append")
    assert differs.returncode == 2 and b"other columns" in differs.stderr
    replaced = cli("load", other, "--into", database.url, "--table", "t", "--if-exists", "replace")
    assert replaced.returncode == 0, replaced.stderr
    assert database.values("t") == [(4, "w")]


@pytest.mark.parametrize("name", ["columns", "tables", "views"])
def test_a_table_named_like_a_catalog_view_loads(database, tmp_path, name):
    # DuckDB lists information_schema's own views beside the user's tables.
    path = write_rows(tmp_path / f"{name}.csv", [["a"], ["1"]])
    done = cli("load", path, "--into", database.url)
    assert done.returncode == 0, done.stderr
    assert database.values(name) == [(1,)]


def test_dry_run_touches_nothing(database, tmp_path):
    path = write_rows(tmp_path / "t.csv", [["a", "b"], ["1", "x"]])
    done = cli("load", path, "--into", database.url, "--dry-run")
    assert done.returncode == 0, done.stderr
    out = done.stdout.decode()
    assert 'CREATE TABLE "t"' in out and "table t: 1 rows" in out
    assert database.tables() == set()
    if database.file is not None:
        assert not database.file.exists()


def test_files_with_one_header_share_a_table_and_others_get_their_own(database, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    write_rows(folder / "a-b.csv", [["x", "y"], ["1", "p"]])
    write_rows(folder / "a_b.csv", [["x", "z"], ["2", "q"]])
    write_rows(folder / "A.csv", [["x", "y"], ["3", "r"]])
    done = cli("load", folder, "--into", database.url)
    assert done.returncode == 0, done.stderr
    tables = database.tables()
    assert len(tables) == 2, tables
    assert sorted(len(database.values(t)) for t in tables) == [1, 2]


@pytest.mark.parametrize("signum, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_in_the_middle_leaves_nothing(database, tmp_path, signum, code):
    path = long_file(tmp_path, 400_000)
    schema = tmp_path / "schema.json"
    made = cli("schema", path, "--dialect", "json")
    assert made.returncode == 0
    schema.write_bytes(made.stdout)
    # Fed through stdin, half the rows: the load cannot end before the signal comes.
    proc = subprocess.Popen(
        [QUORLE, "load", "-", "--into", database.url, "--schema", str(schema)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )  # fmt: skip
    try:
        data = path.read_bytes()
        proc.stdin.write(data[: len(data) // 2])
        proc.stdin.flush()
        wait_until_loading(database, proc)
        proc.send_signal(signum)
        _, err = proc.communicate(timeout=HANG_GUARD)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=HANG_GUARD)
    assert proc.returncode == code, err
    lines = err.decode().strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in err.decode(), err
    assert database.tables() == set()
    if database.file is not None:
        assert not database.file.exists()
        assert list(database.file.parent.glob(".*")) == []


def wait_until_loading(database, proc):
    """Until the load has begun writing (the new database file exists in its hidden
    folder beside its name, or the server runs its COPY); fails if the process ends
    first or LOADING_GUARD passes."""
    deadline = time.monotonic() + LOADING_GUARD
    while proc.poll() is None:
        if time.monotonic() > deadline:
            pytest.fail(f"the load did not begin writing within {LOADING_GUARD} s")
        name = database.file.name if database.file is not None else None
        if name and any(database.file.parent.glob(f".{name}.quorle-new-*/{name}")):
            return
        if database.file is None and database.query(
            "SELECT 1 FROM pg_stat_activity WHERE query LIKE 'COPY%%' AND pid <> pg_backend_pid()"
        ):
            return
        time.sleep(0.01)
    pytest.fail(f"the load ended before it could be interrupted: {proc.stderr.read()!r}")


def test_schema_carries_what_reading_needs_and_refuses_a_changed_file(database, tmp_path):
    path = write_rows(tmp_path / "t.csv", [["a", "b"], ["1", "NA"], ["2", ""]])
    made = cli("schema", path, "--dialect", "json", "--na", "NA", "--delimiter", ",")
    document = json.loads(made.stdout)
    (table,) = document["tables"]
    assert table["na_values"] == ["NA"] and table["encoding"] == "utf-8"
    (member,) = table["files"]
    assert member["size"] == path.stat().st_size and member["delimiter"] == ","
    schema = tmp_path / "s.json"
    schema.write_bytes(made.stdout)
    done = cli("load", path, "--into", database.url, "--schema", schema)
    assert done.returncode == 0, done.stderr
    # "" is not a missing value here: it arrives as an empty text.
    assert database.values("t") == [(1, None), (2, "")]
    with open(path, "a") as f:
        f.write("3,z\n")
    changed = cli("load", path, "--into", database.url, "--schema", schema,
                  "--if-exists", "replace")  # fmt: skip
    assert changed.returncode == 1 and b"changed since" in changed.stderr
    assert database.values("t") == [(1, None), (2, "")]


def test_standard_input(database, tmp_path):
    data = b"a,b\n1,x\n2,y\n"
    done = cli("load", "-", "--into", database.url, "--table", "piped", stdin=data)
    assert done.returncode == 0, done.stderr
    assert b"spooled" in done.stderr and b"(12 bytes)" in done.stderr
    assert database.values("piped") == [(1, "x"), (2, "y")]
    spooled = pathlib.Path(done.stderr.decode().split(" spooled to ")[1].split()[0])
    assert not spooled.parent.exists()  # removed at the end
    path = write_rows(tmp_path / "p.csv", [["a", "b"], ["1", "x"], ["2", "y"]])
    schema = tmp_path / "s.json"
    schema.write_bytes(cli("schema", path, "--dialect", "json").stdout)
    again = cli("load", "-", "--into", database.url, "--schema", schema, "--table", "piped",
                "--if-exists", "append", stdin=path.read_bytes())  # fmt: skip
    assert again.returncode == 0, again.stderr
    assert database.values("piped") == [(1, "x"), (2, "y")] * 2
    path.write_bytes(b"a,b\n1,x\n")  # only the bytes piped in are read: the file is not
    piped = cli("load", "-", "--into", database.url, "--schema", schema, "--table", "piped",
                "--if-exists", "append", stdin=b"a,b\n7,q\n8,r\n")  # fmt: skip
    assert piped.returncode == 0, piped.stderr
    assert database.values("piped")[-2:] == [(7, "q"), (8, "r")]
    other = cli("load", tmp_path / "x.csv", "--into", database.url, "--schema", schema)
    assert other.returncode == 2 and b"not the schema's files" in other.stderr


def test_a_named_pipe_is_spooled_and_named_after_itself(database, tmp_path):
    fifo = tmp_path / "orders.csv"
    os.mkfifo(fifo)
    proc = subprocess.Popen([QUORLE, "load", str(fifo), "--into", database.url],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # fmt: skip
    with open(fifo, "wb") as writer:
        writer.write(b"a,b\n1,x\n")
    _, err = proc.communicate(timeout=HANG_GUARD)
    assert proc.returncode == 0, err
    assert b"spooled" in err
    assert database.values("orders") == [(1, "x")]


def test_a_refused_row_of_a_named_pipe_is_named_by_its_row(database, tmp_path):
    # The pipe cannot be opened again to count lines: that would wait for a writer.
    patterns = tmp_path / "p.json"
    sql = {"sqlite": "INTEGER", "duckdb": "INTEGER", "postgres": "integer"}
    patterns.write_text(json.dumps({"num": {"patterns": ["[0-9]+x?"], "sql": sql}}))
    data = b"n,note\n1,a\n2,b\n3x,c\n4,d\n"
    fifo = tmp_path / "feed.csv"
    os.mkfifo(fifo)

    def run(*args):
        proc = subprocess.Popen([QUORLE, *map(str, args)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)  # fmt: skip
        with open(fifo, "wb") as writer:
            writer.write(data)
        out, err = proc.communicate(timeout=HANG_GUARD)
        return proc.returncode, out, err.decode()

    code, schema, err = run("schema", fifo, "--dialect", "json", "--patterns", patterns, "--na", "")
    assert code == 0, err
    (tmp_path / "s.json").write_bytes(schema)
    code, _, err = run("load", fifo, "--into", database.url, "--schema", tmp_path / "s.json")
    assert code == 1 and f"{fifo}, data row 3, column n" in err, err
    assert database.tables() == set()


def test_values_a_type_cannot_store_are_errors_naming_line_and_column(database, tmp_path):
    path = tmp_path / "bad.csv"
    path.write_bytes(b"id,note\n1,ok\n2,\xff\xfe\n")
    done = cli("load", path, "--into", database.url)
    if database.dialect == "sqlite":
        assert done.returncode == 1 and b'line 3, column "note"' in done.stderr, done.stderr
    else:
        assert done.returncode == 1 and b'line 3, column "note"' in done.stderr, done.stderr
    assert database.tables() == set()


def test_api_returns_the_tables_and_the_schema(tmp_path):
    path = write_rows(tmp_path / "t.csv", [["a", "b"], ["1", "x"], ["2", "y"]])
    result = quorle.load([str(path)], f"duckdb:///{tmp_path / 'x.duckdb'}", table="Things")
    (table,) = result.tables
    assert (table.name, table.rows, table.files) == ("Things", 2, [str(path)])
    assert result.schema["tables"][0]["columns"][0]["sql"]["duckdb"] == "INTEGER"
    with pytest.raises(LoadUsageError, match="exists"):
        quorle.load([str(path)], f"duckdb:///{tmp_path / 'x.duckdb'}", table="Things")
    with pytest.raises(LoadUsageError, match="--into"):
        quorle.load([str(path)], "mysql://x/y")
    with pytest.raises(LoadError, match="no data rows"):
        quorle.load(str(write_rows(tmp_path / "e.csv", [["a"]])), "sqlite:///:memory:")


def test_password_is_never_shown(postgres, tmp_path):
    path = write_rows(tmp_path / "t.csv", [["a"], ["1"]])
    secret = "Wr0ng-pa55-w0rd"
    url = postgres.url(with_password=False).replace("quorle_user@", f"quorle_user:{secret}@")
    env = {k: v for k, v in os.environ.items() if k != "PGPASSWORD"}
    for into in (url, f"host=127.0.0.1 port={postgres.port} user=quorle_user password={secret}"):
        for extra in ([], ["--dry-run"]):
            done = cli("load", path, "--into", into, *extra, env=env)
            text = (done.stdout + done.stderr).decode()
            assert secret not in text
            assert done.returncode == (0 if extra else 1), text


def test_password_from_the_environment(postgres, tmp_path):
    path = write_rows(tmp_path / "envpw.csv", [["a"], ["1"]])
    done = cli("load", path, "--into", postgres.url(with_password=False), env=postgres.client_env())
    assert done.returncode == 0, done.stderr
    with contextlib.closing(__import__("psycopg").connect(postgres.url())) as con:
        assert con.execute('SELECT a FROM "envpw"').fetchall() == [(1,)]
        con.execute('DROP TABLE "envpw"')
        con.commit()


def test_a_value_the_database_refuses_names_line_and_column(database, tmp_path):
    # A pattern file's own column type that the texts of its type do not all fit.
    patterns = tmp_path / "p.json"
    sql = {"sqlite": "INTEGER", "duckdb": "INTEGER", "postgres": "integer"}
    patterns.write_text(json.dumps({"num": {"patterns": ["[0-9]+x?"], "sql": sql}}))
    path = tmp_path / "refused.csv"
    path.write_bytes(b'note,n\na,5\n"b\nc",6\nd,7x\ne,8\n')
    done = cli("load", path, "--into", database.url, "--patterns", patterns, "--na", "")
    err = done.stderr.decode()
    assert done.returncode == 1, err
    assert f"{path}, line 5, column n" in err and "7x" in err, err
    assert database.tables() == set()


def test_a_refused_row_read_long_before_is_named_by_its_line(database, tmp_path, monkeypatch):
    # The load keeps only its latest row starts: a value the database refuses after many
    # later rows were read is found by reading the file again. Quoted line ends make its
    # line differ from its row number.
    monkeypatch.setattr(row_reader, "RECENT_ROWS", 1)
    monkeypatch.setattr(fill, "BATCH_ROWS", 100)
    patterns = tmp_path / "p.json"
    sql = {"sqlite": "INTEGER", "duckdb": "INTEGER", "postgres": "integer"}
    patterns.write_text(json.dumps({"num": {"patterns": ["[0-9]+x?"], "sql": sql}}))
    refused_at = 150
    rows = [["n", "note"]] + [
        [f"{i}x" if i == refused_at else str(i), f"a\nb {i}" if i % 7 == 0 else "c"]
        for i in range(3_000)
    ]
    path = write_rows(tmp_path / "late.csv", rows)
    line = 2 + refused_at + sum(1 for i in range(refused_at) if i % 7 == 0)
    with pytest.raises(LoadError, match=rf"late.csv, line {line}, column n"):
        quorle.load(str(path), database.url, patterns=str(patterns), na_values=[""])
    assert database.tables() == set()


@pytest.mark.parametrize("refused_first", [True, False])
def test_of_two_bad_rows_the_first_in_the_file_is_named(database, tmp_path, refused_first):
    # A value the database refuses and a row the encoder stops at, in either order, in
    # one batch: the database must see the rows before the second before it is reported.
    patterns = tmp_path / "p.json"
    sql = {"sqlite": "INTEGER", "duckdb": "INTEGER", "postgres": "integer"}
    patterns.write_text(json.dumps({"num": {"patterns": ["[0-9]+x?"], "sql": sql}}))
    rows = [["n", "label"]] + [[str(i), f"l{i}"] for i in range(10)]
    refused, long = (4, 8) if refused_first else (8, 4)
    rows[refused][0] = "7x"
    rows[long] = [*rows[long], "extra"]
    path = write_rows(tmp_path / "two.csv", rows)
    done = cli("load", path, "--into", database.url, "--patterns", patterns, "--na", "")
    err = done.stderr.decode()
    assert done.returncode == 1, err
    first = min(refused, long) + 1
    assert f"{path}, line {first}" in err, err
    assert ("7x" in err) == refused_first, err
    assert database.tables() == set()


def test_rows_past_a_database_readers_line_limit_load_whole(database, tmp_path):
    # DuckDB's CSV reader refuses lines over 2 MB unless told their length.
    long_text = "x" * 3_000_000
    quoted = 'q,"\n' * 1_000_000
    rows = [["n", "note"], ["1", long_text], ["2", "short"], ["3", quoted]]
    path = write_rows(tmp_path / "long.csv", rows)
    done = cli("load", path, "--into", database.url)
    assert done.returncode == 0, done.stderr[:2000]
    assert database.values("long") == [(1, long_text), (2, "short"), (3, quoted)]


def test_extra_fields_are_dropped_only_when_asked(database, tmp_path):
    path = write_rows(tmp_path / "wide.csv", [["a", "b"], ["1", "x"], ["2", "y", "z", "w"], ["3"]])
    refused = cli("load", path, "--into", database.url)
    assert refused.returncode == 1 and b"line 3" in refused.stderr
    done = cli("load", path, "--into", database.url, "--ignore-extra-fields")
    assert done.returncode == 0, done.stderr
    assert database.values("wide") == [(1, "x"), (2, "y"), (3, None)]


@pytest.mark.parametrize("dialect, limit", [("postgres", 1600), ("sqlite", 2000)])
def test_too_many_columns_for_the_database_is_refused_before_anything(tmp_path, dialect, limit):
    path = write_rows(
        tmp_path / "wide.csv", [[f"c{i}" for i in range(limit + 1)], ["1"] * (limit + 1)]
    )
    into = (
        "postgresql://nobody@127.0.0.1:1/none"
        if dialect == "postgres"
        else f"sqlite:///{tmp_path / 'w.db'}"
    )
    done = cli("load", path, "--into", into)
    assert done.returncode == 1
    assert (
        f"{limit + 1} columns" in done.stderr.decode() and f"allows {limit}" in done.stderr.decode()
    )
    assert not (tmp_path / "w.db").exists()


def test_password_from_pgpass(postgres, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    pgpass = home / ".pgpass"
    pgpass.write_text(f"127.0.0.1:{postgres.port}:*:quorle_user:{pgpass_escaped()}\n")
    pgpass.chmod(0o600)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
    env["HOME"] = str(home)
    path = write_rows(tmp_path / "viapgpass.csv", [["a"], ["1"]])
    done = cli("load", path, "--into", postgres.url(with_password=False), env=env)
    assert done.returncode == 0, done.stderr
    with contextlib.closing(__import__("psycopg").connect(postgres.url())) as con:
        assert con.execute('SELECT a FROM "viapgpass"').fetchall() == [(1,)]
        con.execute('DROP TABLE "viapgpass"')
        con.commit()


def pgpass_escaped():
    """The test role's password as a .pgpass line holds it."""
    from postgres_server import PASSWORD

    return PASSWORD.replace("\\", "\\\\").replace(":", "\\:")


def as_found_rows():
    """Rows a cp1252 spreadsheet holds too: non-ASCII text, quotes and line ends in fields."""
    rows = tricky_text()
    return [[cell.replace("\u2615", "\u20ac") for cell in row] for row in rows]


AS_FOUND = {
    "cp1252": (lambda b: b.decode().encode("cp1252"), {"encoding": "cp1252"}),
    "utf-16 le bom": (
        lambda b: codecs.BOM_UTF16_LE + b.decode().encode("utf-16-le"),
        {"encoding": "utf-16"},
    ),
    "auto cp1252": (lambda b: b.decode().encode("cp1252"), {"encoding": "auto"}),
    "gzip": (gzip.compress, {}),
    "zstd": (lambda b: zstandard.ZstdCompressor(level=3).compress(b), {}),
    "bzip2": (bz2.compress, {}),
    "xz": (lzma.compress, {}),
    "cp1252 gzip": (lambda b: gzip.compress(b.decode().encode("cp1252")), {"encoding": "cp1252"}),
}


@pytest.mark.parametrize("stored", sorted(AS_FOUND))
def test_a_file_as_found_loads_the_values_of_the_plain_utf8_file(database, tmp_path, stored):
    store, options = AS_FOUND[stored]
    plain = write_rows(tmp_path / "plain.csv", as_found_rows())
    path = tmp_path / "found.csv"
    path.write_bytes(store(plain.read_bytes()))
    result = quorle.load(str(path), database.url, table="t", na_values=NA, **options)
    assert [(t.name, t.rows) for t in result.tables] == [("t", len(as_found_rows()) - 1)]
    assert database.tables() == {"t"}
    compare(read_csv(plain)[1:], database.values("t"), database.columns("t"), NA)


@pytest.mark.parametrize("stored", ["auto cp1252", "cp1252 gzip", "utf-16 le bom"])
def test_a_schema_of_a_file_as_found_reads_it_the_same_way(database, tmp_path, stored):
    store, options = AS_FOUND[stored]
    plain = write_rows(tmp_path / "plain.csv", as_found_rows())
    path = tmp_path / "found.csv"
    path.write_bytes(store(plain.read_bytes()))
    encoding = ["--encoding", options["encoding"]] if options else []
    made = cli("schema", path, "--dialect", "json", "--na", *NA, *encoding)
    assert made.returncode == 0, made.stderr
    schema = tmp_path / "s.json"
    schema.write_bytes(made.stdout)
    # The description names the encoding found, not "auto": a load needs no option.
    (table,) = json.loads(made.stdout)["tables"]
    assert table["encoding"] != "auto" and table["files"][0]["encoding"] == table["encoding"]
    done = cli("load", path, "--into", database.url, "--schema", schema, "--table", "t")
    assert done.returncode == 0, done.stderr
    compare(read_csv(plain)[1:], database.values("t"), database.columns("t"), NA)


@pytest.mark.parametrize("stored", ["gzip", "cp1252", "utf-16 le bom"])
def test_an_error_in_a_file_as_found_names_the_line_of_its_text(database, tmp_path, stored):
    store, options = AS_FOUND[stored]
    rows = [*as_found_rows(), ["7", "x", "1.5", "2024-01-01", "no", "extra"]]
    plain = write_rows(tmp_path / "plain.csv", rows)
    path = tmp_path / "found.csv"
    path.write_bytes(store(plain.read_bytes()))
    line = plain.read_bytes().count(b"\n")  # the last line; quoted line ends count too
    with pytest.raises(LoadError, match=f"found.csv, line {line}: a row longer than the header"):
        quorle.load(str(path), database.url, table="t", na_values=NA, **options)
    assert database.tables() == set()


@pytest.mark.parametrize(
    "damage, says",
    [
        (lambda z: z[: len(z) // 2], "truncated gzip stream"),
        (lambda z: z[:-9] + bytes(b ^ 0xFF for b in z[-9:-8]) + z[-8:], "gzip"),
    ],
    ids=["truncated", "corrupt"],
)
def test_a_damaged_stream_fails_the_load_and_leaves_nothing(database, tmp_path, damage, says):
    path = tmp_path / "orders.csv.gz"
    path.write_bytes(gzip.compress(read_csv_bytes(as_found_rows() * 40)))
    result = quorle.infer(str(path), na_values=NA)
    path.write_bytes(damage(path.read_bytes()))  # damaged after inference: the loader finds it
    with pytest.raises(OSError, match=f"orders.csv.gz: .*{says}"):
        quorle.load(result, database.url, table="t", na_values=NA)
    assert database.tables() == set()
    if database.file is not None:
        assert not database.file.exists()


def read_csv_bytes(rows):
    buf = io.StringIO()
    csv.writer(buf, lineterminator="\n").writerows(rows)
    return buf.getvalue().encode()


def test_a_header_group_loads_each_file_in_its_own_encoding(database, tmp_path):
    # With --encoding auto, files of one header may be read in different encodings.
    utf8 = write_rows(tmp_path / "a.csv", as_found_rows())
    cp = tmp_path / "b.csv"
    cp.write_bytes(utf8.read_bytes().decode().encode("cp1252"))
    result = quorle.load([str(utf8), str(cp)], database.url, encoding="auto", na_values=NA)
    (table,) = result.tables
    rows = read_csv(utf8)[1:]
    compare(rows + rows, database.values(table.name), database.columns(table.name), NA)
