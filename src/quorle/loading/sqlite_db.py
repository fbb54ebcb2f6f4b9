"""SQLite: rows converted to Python values here, bound as parameters in one transaction."""

from __future__ import annotations

import sqlite3
from collections.abc import Sequence
from typing import Any

from ..sql.identifiers import quote
from . import encoders
from .databases import Database, RowFailed
from .targets import MEMORY, Target


class SqliteDatabase(Database):
    dialect = "sqlite"
    temporary_schema = "temp"

    def __init__(self, target: Target) -> None:
        self.con = sqlite3.connect(target.path or MEMORY, isolation_level=None)
        self.con.execute("BEGIN")
        self.sql = ""
        self.converters: list[Any] = []
        self.na: frozenset[bytes] = frozenset()

    def exists(self, name: str) -> bool:
        found = self.con.execute(
            "SELECT 1 FROM sqlite_master WHERE lower(name) = lower(?)"
            " UNION ALL SELECT 1 FROM sqlite_temp_master WHERE lower(name) = lower(?)",
            (name, name),
        )
        return found.fetchone() is not None

    def column_types(self, name: str, temporary: bool = False) -> list[tuple[str, str]]:
        schema = self.temporary_schema if temporary else "main"
        rows = self.con.execute(f"PRAGMA {schema}.table_info({quote(name, 'sqlite')})").fetchall()
        return [(row[1], row[2].upper()) for row in rows]

    def execute(self, sql: str) -> None:
        self.con.execute(sql)

    def count(self, name: str) -> int:
        return int(self.con.execute(f"SELECT count(*) FROM {quote(name, 'sqlite')}").fetchone()[0])

    def open_file(self, table: Any) -> None:
        marks = ", ".join("?" * len(table.columns))
        self.sql = f"INSERT INTO {quote(table.name, 'sqlite')} VALUES ({marks})"
        self.converters = [encoders.sqlite_converter(c.sql["sqlite"]) for c in table.columns]
        self.na = frozenset(v.encode("utf-8") for v in table.na_values)

    def write(self, rows: Sequence[encoders.Row], first: int) -> None:
        values = encoders.sqlite_rows(rows, self.converters, self.na)
        try:
            self.con.executemany(self.sql, values)
        except sqlite3.Error as e:
            raise RowFailed(str(e)) from None

    def close_file(self) -> None:
        pass

    def commit(self) -> None:
        self.con.execute("COMMIT")

    def close(self) -> None:
        self.con.close()
