"""Postgres: COPY in text format through psycopg 3, the engine's encoding sent as it comes."""

from __future__ import annotations

import contextlib
import re
from typing import Any

from ..sql.identifiers import quote
from .databases import Database, DriverMissing, RowFailed
from .targets import Target

_COPY_LINE = re.compile(r"line (\d+)")


def _import_psycopg() -> Any:
    try:
        import psycopg
    except ImportError:
        raise DriverMissing("loading into Postgres needs: pip install 'quorle[postgres]'") from None
    return psycopg


class PostgresDatabase(Database):
    """COPY ... FROM STDIN in text format through psycopg 3: no superuser, no file
    on the server, and NULL written as such."""

    dialect = "postgres"
    bulk_format = "postgres_text"
    temporary_schema = "pg_temp"

    def __init__(self, target: Target) -> None:
        self.psycopg = _import_psycopg()
        self.con = self.psycopg.connect(target.conninfo or "", autocommit=False)
        self.con.execute("SET client_encoding TO 'UTF8'")
        self.copy_context: Any = None
        self.copy: Any = None
        self.table: Any = None

    def exists(self, name: str) -> bool:
        found = self.con.execute("SELECT to_regclass(%s)", [quote(name, "postgres")]).fetchone()
        return found[0] is not None

    def column_types(self, name: str, temporary: bool = False) -> list[tuple[str, str]]:
        qualified = quote(name, "postgres")
        if temporary:
            qualified = f"{self.temporary_schema}.{qualified}"
        rows = self.con.execute(
            "SELECT attname, format_type(atttypid, atttypmod) FROM pg_attribute"
            " WHERE attrelid = to_regclass(%s) AND attnum > 0 AND NOT attisdropped"
            " ORDER BY attnum",
            [qualified],
        ).fetchall()
        return [(row[0], row[1]) for row in rows]

    def execute(self, sql: str) -> None:
        self._run(lambda: self.con.execute(sql))

    def count(self, name: str) -> int:
        row = self.con.execute(f"SELECT count(*) FROM {quote(name, 'postgres')}").fetchone()
        return int(row[0])

    def open_file(self, table: Any) -> None:
        self.table = table
        self.cursor = self.con.cursor()
        self.copy_context = self.cursor.copy(f"COPY {quote(table.name, 'postgres')} FROM STDIN")
        self.copy = self.copy_context.__enter__()

    def write_encoded(self, payload: bytes, longest: int) -> None:
        self._run(lambda: self.copy.write(payload))

    def close_file(self) -> None:
        context, self.copy_context = self.copy_context, None
        self._run(lambda: context.__exit__(None, None, None))

    def _run(self, step: Any) -> Any:
        try:
            return step()
        except self.psycopg.Error as e:
            raise self._row_failed(e) from None

    def _row_failed(self, error: Any) -> RowFailed:
        diag = getattr(error, "diag", None)
        context = (diag.context if diag else None) or ""
        found = _COPY_LINE.search(context)
        row = int(found.group(1)) if found else None
        column = None
        if diag is not None and diag.column_name:
            column = diag.column_name
        else:
            named = re.search(r"column ([^:]+):", context)
            column = named.group(1) if named else None
        message = (diag.message_primary if diag else None) or str(error).strip()
        return RowFailed(message, row, column)

    def commit(self) -> None:
        self._run(self.con.commit)

    def close(self) -> None:
        if self.copy_context is not None:
            with contextlib.suppress(Exception):
                self.copy_context.__exit__(RuntimeError, RuntimeError("cancelled"), None)
        self.con.close()
