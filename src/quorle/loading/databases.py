"""What a connection to a database offers a load, in one transaction for the whole load;
each kind of database is a module of its own (sqlite_db, duckdb_db, postgres_db).

Every database gets the same calls: whether a table exists and its columns,
statements, the rows of one file at a time (`open_file`, `write`,
`close_file`), a row count, and commit or rollback. Values travel only as
bound parameters or bulk data, never inside a statement's text."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ..sql.identifiers import quote
from ..sql.statements import create_table
from . import encoders

# The limits of a table's width, checked before anything is created.
MAX_COLUMNS = {"postgres": 1600, "sqlite": 2000}
# A scratch table whose catalog entry shows the column types exactly as the database
# reports them: a temporary one, in the connection's own schema, where no user table can be.
PROBE_TABLE = "quorle_probe"


class DriverMissing(Exception):
    """The Python package for a database is not installed: a usage error."""


class RowFailed(Exception):
    """The database refused a row: `row` is its 1-based number among the file's data
    rows when known, `column` the column's name when known."""

    def __init__(self, message: str, row: int | None = None, column: str | None = None) -> None:
        super().__init__(message)
        self.row = row
        self.column = column


class Database:
    dialect = ""
    # The schema of the connection's temporary tables.
    temporary_schema = ""
    # None: rows go to `write` as values; else `write_encoded` takes the engine's
    # encoding ("postgres_text" or "canonical_csv").
    bulk_format: str | None = None

    def exists(self, name: str) -> bool:
        raise NotImplementedError

    def column_types(self, name: str, temporary: bool = False) -> list[tuple[str, str]]:
        """(name, type) of each column of an existing table (a temporary one if
        `temporary`), as the catalog shows them."""
        raise NotImplementedError

    def execute(self, sql: str) -> None:
        raise NotImplementedError

    def count(self, name: str) -> int:
        raise NotImplementedError

    def open_file(self, table: Any) -> None:
        raise NotImplementedError

    def write(self, rows: Sequence[encoders.Row], first: int) -> None:
        """Rows numbered from `first` (1 = the file's first data row)."""
        raise NotImplementedError

    def write_encoded(self, payload: bytes, longest: int) -> None:
        """Rows in `bulk_format`; `longest` is the longest row's length in bytes."""
        raise NotImplementedError

    def close_file(self) -> None:
        raise NotImplementedError

    def commit(self) -> None:
        raise NotImplementedError

    def close(self) -> None:
        """Ends the connection; what was not committed is rolled back."""
        raise NotImplementedError

    def probe_types(self, table: Any) -> list[tuple[str, str]]:
        """The column types `table` would get, as the catalog shows them."""
        probe = create_table(table, self.dialect).replace(
            f"CREATE TABLE {quote(table.name, self.dialect)}",
            f"CREATE TEMPORARY TABLE {quote(PROBE_TABLE, self.dialect)}",
            1,
        )
        self.execute(probe)
        try:
            return self.column_types(PROBE_TABLE, temporary=True)
        finally:
            self.execute(f"DROP TABLE {self.temporary_schema}.{quote(PROBE_TABLE, self.dialect)}")
