"""`quorle load` beside each database's own bulk path, on one file, in one run.

The load alone is timed (from a schema written first, so no inference), and
the inference is reported apart. Peers, each given the same table:
- SQLite: the sqlite3 shell's `.import` (which loads missing values as text);
- DuckDB: `read_csv` with the column types given, into the same table in a file;
- Postgres: `COPY ... FROM STDIN` fed the same rows already in COPY's text format,
  on a server started as the tests start theirs (skipped without the binaries), and
  pgloader (Debian) loading the file into the same table, mapping the same missing values
  to NULL;
- SQLite and Postgres: csvkit's `csvsql --insert` into the same table with the same
  missing values. It inserts row by row, so it runs on the first CSVSQL_ROWS rows only,
  and quorle load is timed on the same cut for its ratio.

usage: load.py FILE [--repeat N] [--markdown]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
CSVSQL = str(pathlib.Path(sys.executable).with_name("csvsql"))
# csvsql inserts about a thousand rows a second here: a cut keeps its run to seconds.
CSVSQL_ROWS = 20_000


def seconds(run, repeat):
    """The best of `repeat` runs of run(), each timed from its own start."""
    best = None
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        took = time.perf_counter() - start
        best = took if best is None else min(best, took)
    return best


def quorle_load(path, schema, url, extra=()):
    subprocess.run([QUORLE, "load", str(path), "--into", url, "--schema", str(schema),
                    "--if-exists", "replace", *extra], check=True, capture_output=True)  # fmt: skip


def schema_of(path, dialect):
    return subprocess.run([QUORLE, "schema", str(path), "--dialect", dialect], check=True,
                          capture_output=True, text=True).stdout  # fmt: skip


def cut(path, folder, rows):
    """The header and the first `rows` lines of `path` (the bench files quote no line end)."""
    out = folder / f"cut-{rows}.csv"
    with open(path, "rb") as src, open(out, "wb") as dst:
        for _ in range(rows + 1):
            line = src.readline()
            if not line:
                break
            dst.write(line)
    return out


def csvsql_against_quorle(path, folder, url, create, repeat):
    """(quorle load, csvsql --insert) on the first CSVSQL_ROWS rows, into a table made by
    quorle's DDL; `create(ddl)` runs the DDL on a fresh database."""
    part = cut(path, folder, CSVSQL_ROWS)
    schema = folder / "cut-schema.json"
    schema.write_bytes(
        subprocess.run(
            [QUORLE, "schema", str(part), "--dialect", "json"], check=True, capture_output=True
        ).stdout  # fmt: skip
    )
    table = json.loads(schema.read_text())["tables"][0]
    ours = seconds(lambda: quorle_load(part, schema, url), repeat)

    def csvsql():
        create(table)
        subprocess.run([CSVSQL, "--db", url.replace("postgresql://", "postgresql+psycopg://"),
                        "--insert", "--no-create", "--tables", table["name"], "--blanks",
                        "--null-value", *table["na_values"], "--", str(part)],
                       check=True, capture_output=True)  # fmt: skip

    return ours, seconds(csvsql, 1)


def sqlite_rows(path, schema, folder, repeat):
    db = folder / "q.db"
    ours = seconds(lambda: quorle_load(path, schema, f"sqlite:///{db}"), repeat)
    if shutil.which("sqlite3") is None:
        return ours, None
    ddl = subprocess.run([QUORLE, "schema", str(path), "--dialect", "sqlite"], check=True,
                         capture_output=True, text=True).stdout  # fmt: skip
    shell_db = folder / "shell.db"

    def shell_import():
        shell_db.unlink(missing_ok=True)
        with sqlite3.connect(shell_db) as con:
            con.executescript(ddl)
        con.close()
        table = json.loads(schema.read_text())["tables"][0]["name"]
        subprocess.run(["sqlite3", str(shell_db), f".import --csv --skip 1 {path} {table}"],
                       check=True, capture_output=True)  # fmt: skip

    return ours, seconds(shell_import, repeat)


def sqlite_csvsql(path, folder, repeat):
    db = folder / "csvsql.db"

    def create(table):
        db.unlink(missing_ok=True)
        with sqlite3.connect(db) as con:
            con.executescript(schema_of(folder / f"cut-{CSVSQL_ROWS}.csv", "sqlite"))
        con.close()

    return csvsql_against_quorle(path, folder, f"sqlite:///{db}", create, repeat)


def duckdb_rows(path, schema, folder, repeat):
    import duckdb

    db = folder / "q.duckdb"
    ours = seconds(lambda: quorle_load(path, schema, f"duckdb:///{db}"), repeat)
    table = json.loads(schema.read_text())["tables"][0]
    columns = ", ".join(f"'{c['name']}': '{c['sql']['duckdb']}'" for c in table["columns"])
    nulls = ", ".join("'" + v.replace("'", "''") + "'" for v in table["na_values"])

    ddl = subprocess.run([QUORLE, "schema", str(path), "--dialect", "duckdb"], check=True,
                         capture_output=True, text=True).stdout  # fmt: skip
    peer_db = folder / "peer.duckdb"

    def read_csv():
        # Into a database file and a table from the same DDL, as quorle loads.
        peer_db.unlink(missing_ok=True)
        con = duckdb.connect(str(peer_db))
        con.execute(ddl)
        con.execute(
            f'INSERT INTO "{table["name"]}" SELECT * FROM read_csv(?, header = true,'
            f" columns = {{{columns}}}, nullstr = [{nulls}], auto_detect = false, quote = '\"',"
            " escape = '\"', delim = ',')",
            [str(path)],
        )
        con.close()

    return ours, seconds(read_csv, repeat)


def copy_text_file(path, table, folder):
    """The rows of `path` in COPY's text format, as quorle load sends them."""
    import quorle_ext

    encoder = quorle_ext._RowEncoder(str(path), table["delimiter"], set(table["na_values"]),
                                     False, False)  # fmt: skip
    copy_file = folder / "rows.copy"
    with open(copy_file, "wb") as out:
        while True:
            rows, payload, _ = encoder.encode(100_000)
            if not rows:
                break
            out.write(payload)
    return copy_file


def pgloader_command(path, table, server):
    """A pgloader command file loading `path` into the existing table, each missing value
    as NULL (pgloader takes one NULL spelling per field: the set goes through a `using`)."""
    spellings = " ".join('"' + v.replace("\\", "\\\\").replace('"', '\\"') + '"'
                         for v in table["na_values"])  # fmt: skip
    names = [c["name"] for c in table["columns"]]
    targets = ", ".join(
        f"{n} text using (if (member {n} (list {spellings}) :test (function string=)) nil {n})"
        for n in names
    )
    return (
        f"LOAD CSV FROM '{path}' ({', '.join(names)})\n"
        f"INTO {server.url(with_password=False)}?tablename={table['name']} ({targets})\n"
        "WITH skip header = 1, fields optionally enclosed by '\"',"
        " fields escaped by double-quote, fields terminated by ','\n;\n"
    )


def postgres_rows(path, schema, folder, repeat):
    """{peer: (quorle load, peer)} on a fresh server, or {} without the binaries."""
    from postgres_server import start_server

    server = start_server()
    if server is None:
        return {}
    try:
        import psycopg

        table = json.loads(schema.read_text())["tables"][0]
        name = '"' + table["name"] + '"'

        def create(t, ddl=None):
            with psycopg.connect(server.url()) as con:
                con.execute(f'DROP TABLE IF EXISTS "{t["name"]}"')
                con.execute(ddl or schema_of(folder / f"cut-{CSVSQL_ROWS}.csv", "postgres"))

        ours = seconds(lambda: quorle_load(path, schema, server.url()), repeat)
        copy_file = copy_text_file(path, table, folder)
        ddl = schema_of(path, "postgres")

        def copy_from_stdin():
            create(table, ddl)
            with psycopg.connect(server.url()) as con:
                with (
                    con.cursor().copy(f"COPY {name} FROM STDIN") as copy,
                    open(copy_file, "rb") as f,
                ):
                    while block := f.read(1 << 20):
                        copy.write(block)

        command = folder / "load.pgl"
        command.write_text(pgloader_command(path, table, server))

        def pgloader():
            create(table, ddl)
            subprocess.run(["pgloader", str(command)], check=True, capture_output=True,
                           env=server.client_env())  # fmt: skip

        peers = {"COPY FROM STDIN, data in COPY format": (ours, seconds(copy_from_stdin, repeat))}
        if shutil.which("pgloader"):
            peers["pgloader"] = (ours, seconds(pgloader, 1))
        if os.path.exists(CSVSQL):
            peers[f"csvsql --insert, first {CSVSQL_ROWS:,} rows"] = csvsql_against_quorle(
                path, folder, server.url(), create, repeat
            )
        return peers
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--markdown", action="store_true")
    args = parser.parse_args()
    path = pathlib.Path(args.file).resolve()
    size_mb = os.path.getsize(path) / 1e6
    with tempfile.TemporaryDirectory(prefix="quorle-bench-load-") as name:
        folder = pathlib.Path(name)
        schema = folder / "schema.json"
        start = time.perf_counter()
        done = subprocess.run([QUORLE, "schema", str(path), "--dialect", "json"], check=True,
                              capture_output=True)  # fmt: skip
        inference = time.perf_counter() - start
        schema.write_bytes(done.stdout)
        rows = [
            ("SQLite", "sqlite3 shell .import", sqlite_rows(path, schema, folder, args.repeat)),
            ("SQLite", f"csvsql --insert, first {CSVSQL_ROWS:,} rows",
             sqlite_csvsql(path, folder, args.repeat) if os.path.exists(CSVSQL) else None),
            ("DuckDB", "read_csv, types given", duckdb_rows(path, schema, folder, args.repeat)),
        ]  # fmt: skip
        postgres = postgres_rows(path, schema, folder, args.repeat)
        rows += [("Postgres", peer, times) for peer, times in postgres.items()]
        if not postgres:
            rows.append(("Postgres", "any", None))
    print(f"{path.name}: {size_mb:.0f} MB; inference (quorle schema) {inference:.2f} s;"
          f" best of {args.repeat}, each peer's once where it runs for minutes")  # fmt: skip
    print("| database | quorle load | peer | peer time | quorle / peer |")
    print("| --- | --- | --- | --- | --- |")
    for database, peer, times in rows:
        if times is None:
            print(f"| {database} | | {peer} | not run (not installed) | |")
            continue
        ours, theirs = times
        ratio = f"{ours / theirs:.2f}" if theirs else ""
        shown = f"{theirs:.2f} s" if theirs else "not run"
        print(f"| {database} | {ours:.2f} s | {peer} | {shown} | {ratio} |")


if __name__ == "__main__":
    main()
