"""`quorle load` beside each database's own bulk path, on one file, in one run.

The load alone is timed (from a schema written first, so no inference), and
the inference is reported apart. Peers, each given the same table:
- SQLite: the sqlite3 shell's `.import` (which loads missing values as text);
- DuckDB: `read_csv` with the column types given, into the same table in a file;
- Postgres: `COPY ... FROM STDIN` fed the same rows already in COPY's text format,
  on a server started as the tests start theirs (skipped without the binaries).

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


def postgres_rows(path, schema, folder, repeat):
    from postgres_server import start_server

    import quorle_ext

    server = start_server()
    if server is None:
        return None, None
    try:
        ours = seconds(lambda: quorle_load(path, schema, server.url()), repeat)
        table = json.loads(schema.read_text())["tables"][0]
        encoder = quorle_ext._RowEncoder(str(path), table["delimiter"], set(table["na_values"]),
                                         False, False)  # fmt: skip
        copy_file = folder / "rows.copy"
        with open(copy_file, "wb") as out:
            while True:
                rows, payload, _ = encoder.encode(100_000)
                if not rows:
                    break
                out.write(payload)
        import psycopg

        ddl = subprocess.run([QUORLE, "schema", str(path), "--dialect", "postgres"], check=True,
                             capture_output=True, text=True).stdout  # fmt: skip
        name = '"' + table["name"] + '"'

        def copy_from_stdin():
            with psycopg.connect(server.url()) as con:
                con.execute(f"DROP TABLE IF EXISTS {name}")
                con.execute(ddl)
                with (
                    con.cursor().copy(f"COPY {name} FROM STDIN") as copy,
                    open(copy_file, "rb") as f,
                ):
                    while block := f.read(1 << 20):
                        copy.write(block)

        return ours, seconds(copy_from_stdin, repeat)
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
            ("SQLite", "sqlite3 shell .import", *sqlite_rows(path, schema, folder, args.repeat)),
            ("DuckDB", "read_csv, types given", *duckdb_rows(path, schema, folder, args.repeat)),
            ("Postgres", "COPY FROM STDIN, data in COPY format",
             *postgres_rows(path, schema, folder, args.repeat)),
        ]  # fmt: skip
    print(f"{path.name}: {size_mb:.0f} MB; inference (quorle schema) {inference:.2f} s;"
          f" best of {args.repeat}")  # fmt: skip
    print("| database | quorle load | peer | peer time | ratio |")
    print("| --- | --- | --- | --- | --- |")
    for database, peer, ours, theirs in rows:
        if ours is None:
            print(f"| {database} | not run (no server binaries) | {peer} | | |")
            continue
        ratio = f"{ours / theirs:.1f}x" if theirs else ""
        shown = f"{theirs:.2f} s" if theirs else "not run"
        print(f"| {database} | {ours:.2f} s | {peer} | {shown} | {ratio} |")


if __name__ == "__main__":
    main()
