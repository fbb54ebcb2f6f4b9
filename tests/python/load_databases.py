"""A database of each dialect for the load tests: its URL, and its tables read back."""

from __future__ import annotations

import contextlib
import sqlite3

DIALECTS = ("sqlite", "duckdb", "postgres")


class Database:
    """A database of one dialect in a test: its URL, and its tables read back."""

    def __init__(self, dialect, tmp_path, postgres=None):
        self.dialect = dialect
        self.file = tmp_path / f"db.{dialect}" if dialect != "postgres" else None
        self.server = postgres

    @property
    def url(self):
        if self.dialect == "postgres":
            return self.server.url()
        return f"{self.dialect}:///{self.file}"

    @contextlib.contextmanager
    def connect(self):
        if self.dialect == "sqlite":
            with contextlib.closing(sqlite3.connect(self.file)) as con:
                yield con
        elif self.dialect == "duckdb":
            import duckdb

            con = duckdb.connect(str(self.file))
            try:
                yield con
            finally:
                con.close()
        else:
            import psycopg

            with psycopg.connect(self.server.url()) as con:
                yield con

    def query(self, sql, *params):
        with self.connect() as con:
            return con.execute(sql, *params).fetchall()

    def run(self, sql):
        with self.connect() as con:
            con.execute(sql)
            if self.dialect != "duckdb":
                con.commit()

    def tables(self):
        if self.dialect == "sqlite":
            if not self.file.exists():
                return set()
            return {r[0] for r in self.query("SELECT name FROM sqlite_master WHERE type='table'")}
        if self.dialect == "duckdb":
            if not self.file.exists():
                return set()
            return {r[0] for r in self.query("SELECT table_name FROM duckdb_tables()")}
        return {
            r[0] for r in self.query("SELECT tablename FROM pg_tables WHERE schemaname='public'")
        }

    def columns(self, table):
        """(name, kind) per column; kind is one word for the comparison below."""
        if self.dialect == "sqlite":
            rows = self.query(f'PRAGMA table_info("{table}")')
            return [(r[1], r[2].upper()) for r in rows]
        if self.dialect == "duckdb":
            rows = self.query(f'DESCRIBE main."{table}"')  # `DESCRIBE tables` is a command
            return [(r[0], r[1]) for r in rows]
        rows = self.query(
            "SELECT attname, format_type(atttypid, atttypmod) FROM pg_attribute"
            " WHERE attrelid = %s::regclass AND attnum > 0 ORDER BY attnum",
            [f'"{table}"'],
        )
        return [(r[0], r[1]) for r in rows]

    def values(self, table):
        """Every row in load order; zone-aware timestamps as microseconds since the epoch."""
        columns = self.columns(table)
        select = []
        for name, kind in columns:
            q = '"' + name.replace('"', '""') + '"'
            zoned = kind_of(kind) == "instant"
            if zoned and self.dialect == "duckdb":
                select.append(f"epoch_us({q})")
            elif zoned:
                select.append(f"(extract(epoch from {q}) * 1000000)::bigint")
            else:
                select.append(q)
        order = "ctid" if self.dialect == "postgres" else "rowid"
        return self.query(f'SELECT {", ".join(select)} FROM "{table}" ORDER BY {order}')

    def objects(self):
        """The names of the tables and the like in the database, the engine's own left out."""
        sql = {
            "sqlite": "SELECT name FROM sqlite_master",
            "duckdb": "SELECT table_name FROM duckdb_tables() UNION ALL"
            " SELECT view_name FROM duckdb_views() WHERE NOT internal",
            "postgres": "SELECT relname FROM pg_class c JOIN pg_namespace n"
            " ON n.oid = c.relnamespace WHERE n.nspname NOT IN ('pg_catalog',"
            " 'information_schema', 'pg_toast')",
        }[self.dialect]
        return sorted(row[0] for row in self.query(sql))


def kind_of(sql_type):
    t = sql_type.lower()
    if "with time zone" in t:
        return "instant"
    for word, kind in (
        ("int", "integer"), ("decimal", "decimal"), ("numeric", "decimal"), ("real", "double"),
        ("bool", "boolean"), ("timestamp", "timestamp"), ("date", "date"), ("time", "time"),
    ):  # fmt: skip
        if word in t:
            return kind
    assert t in ("text", "varchar"), sql_type
    return "text"
