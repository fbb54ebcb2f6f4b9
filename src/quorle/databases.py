"""One connection per database kind, each in one transaction for a whole load.

Every database gets the same calls: whether a table exists and its columns,
statements, the rows of one file at a time (`open_file`, `write`,
`close_file`), a row count, and commit or rollback. Values travel only as
bound parameters or bulk data, never inside a statement's text."""

from __future__ import annotations

import contextlib
import errno
import os
import re
import sqlite3
import tempfile
from collections.abc import Iterator, Sequence
from typing import Any

from . import encoders
from .identifiers import fold, literal, quote
from .load_errors import LoadError
from .scratch import LockedFolder
from .statements import create_table
from .targets import MEMORY, Target

# The limits of a table's width, checked before anything is created.
MAX_COLUMNS = {"postgres": 1600, "sqlite": 2000}
# A scratch table whose catalog entry shows the column types exactly as the database
# reports them: a temporary one, in the connection's own schema, where no user table can be.
PROBE_TABLE = "quorle_probe"
_COPY_LINE = re.compile(r"line (\d+)")
# DuckDB reads the canonical rows in parts of about this size, so that the scratch space
# stays one part whatever the file's size (and a part is large enough to read in parallel).
PART_BYTES = 256 << 20
# DuckDB's CSV reader refuses a line longer than its limit, this by default: a part with a
# longer row raises the limit to fit it.
DUCKDB_LINE_BYTES = 2_000_000
# The DuckDB load's scratch folders in the temp dir (TMPDIR), one per run.
SCRATCH_PREFIX = "quorle-load-"
SCRATCH_ROLE = "the DuckDB load's scratch folder"


class DriverMissing(Exception):
    """The Python package for a database is not installed: a usage error."""


class RowFailed(Exception):
    """The database refused a row: `row` is its 1-based number among the file's data
    rows when known, `column` the column's name when known."""

    def __init__(self, message: str, row: int | None = None, column: str | None = None) -> None:
        super().__init__(message)
        self.row = row
        self.column = column


def connect(target: Target) -> Database:
    """An open connection in a transaction; DriverMissing names what to install."""
    kinds = {"sqlite": SqliteDatabase, "duckdb": DuckdbDatabase, "postgres": PostgresDatabase}
    return kinds[target.dialect](target)


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


def _import_duckdb() -> Any:
    try:
        import duckdb
    except ImportError:
        raise DriverMissing("loading into DuckDB needs: pip install 'quorle[duckdb]'") from None
    return duckdb


class DuckdbDatabase(Database):
    """Rows go to canonical CSV parts in a temporary folder (the engine's encoding), each
    read by DuckDB with every option set and the column types given once it is full."""

    dialect = "duckdb"
    bulk_format = "canonical_csv"
    temporary_schema = "temp"

    def __init__(self, target: Target) -> None:
        self.duckdb = _import_duckdb()
        self.folder = _scratch_folder()
        try:
            self.con = self.duckdb.connect(target.path or MEMORY)
            self.con.begin()
        except BaseException:
            self.folder.cleanup()
            raise
        self.table: Any = None
        self.stream: Any = None
        self.path = ""
        self.written = 0
        self.longest = 0
        self.parts = 0

    # No statement here binds parameters: for any parameter list the duckdb package
    # imports pandas, which costs more than a small load. Names are compared here instead,
    # and a path is a literal.
    def exists(self, name: str) -> bool:
        # DuckDB's own views (information_schema's `columns`, `tables`) are not the user's.
        found = self.con.execute(
            "SELECT table_name FROM duckdb_tables() WHERE database_name = current_database()"
            " UNION ALL SELECT view_name FROM duckdb_views()"
            " WHERE NOT internal AND database_name = current_database()"
        ).fetchall()
        return any(fold(row[0]) == fold(name) for row in found)

    def column_types(self, name: str, temporary: bool = False) -> list[tuple[str, str]]:
        # Temporary tables are the catalog "temp"'s; the file's are the current database's.
        catalog = literal(self.temporary_schema) if temporary else "current_database()"
        rows = self.con.execute(
            "SELECT table_name, column_name, data_type FROM duckdb_columns()"
            f" WHERE database_name = {catalog} ORDER BY column_index"
        ).fetchall()
        return [(column, kind) for table, column, kind in rows if fold(table) == fold(name)]

    def execute(self, sql: str) -> None:
        self.con.execute(sql)

    def count(self, name: str) -> int:
        return int(self.con.execute(f"SELECT count(*) FROM {quote(name, 'duckdb')}").fetchone()[0])

    def open_file(self, table: Any) -> None:
        self.table = table
        self._new_part()

    def _new_part(self) -> None:
        self.parts += 1
        self.path = os.path.join(self.folder.name, f"rows-{self.parts}.csv")
        with self._scratch_writes():
            self.stream = open(self.path, "wb")  # noqa: SIM115 - closed in _insert
        self.written = 0
        self.longest = 0

    def write_encoded(self, payload: bytes, longest: int) -> None:
        with self._scratch_writes():
            self.stream.write(payload)
        self.written += len(payload)
        self.longest = max(self.longest, longest)
        if self.written >= PART_BYTES:
            self._insert()
            self._new_part()

    def close_file(self) -> None:
        self._insert()

    def _read_back(self, path: str, typed: bool) -> str:
        """The canonical part at `path` as DuckDB reads it: each column as its type (or
        as text, to find a value that does not convert), after the row's number."""
        types = [c.sql["duckdb"] if typed else "VARCHAR" for c in self.table.columns]
        columns = ", ".join(["'r': 'BIGINT'"] + [f"'c{i}': '{t}'" for i, t in enumerate(types)])
        line = max(DUCKDB_LINE_BYTES, self.longest + 1)
        return (
            f"read_csv({literal(path)}, header = false, columns = {{{columns}}}, delim = ',',"
            " quote = '\"', escape = '\"', new_line = '\\n', auto_detect = false, nullstr = '',"
            f" allow_quoted_nulls = false, strict_mode = true, max_line_size = {line})"
        )

    def _insert(self) -> None:
        """Closes the part being written and adds its rows to the table."""
        stream, self.stream = self.stream, None
        with self._scratch_writes():
            stream.close()
        path = self.path
        values = ", ".join(f"c{i}" for i in range(len(self.table.columns)))
        try:
            if self.written == 0:
                return
            # The reader keeps the part's order (DuckDB preserves insertion order).
            self.con.execute(
                f"INSERT INTO {quote(self.table.name, 'duckdb')} SELECT {values}"
                f" FROM {self._read_back(path, typed=True)}"
            )
        except (self.duckdb.ConversionException, self.duckdb.InvalidInputException) as e:
            raise self._failed_cast(path) or RowFailed(str(e)) from None
        finally:
            os.remove(path)

    def _failed_cast(self, path: str) -> RowFailed | None:
        """The first row with a value its column type cannot take, found by a
        connection of its own: the failed statement has ended this transaction."""
        scratch = self.duckdb.connect()
        try:
            for i, column in enumerate(self.table.columns):
                source = self._read_back(path, typed=False)
                found = scratch.execute(
                    f"SELECT r, c{i} FROM {source} WHERE c{i} IS NOT NULL"
                    f" AND TRY_CAST(c{i} AS {column.sql['duckdb']}) IS NULL ORDER BY r LIMIT 1"
                ).fetchone()
                if found is not None:
                    return RowFailed(
                        f"{found[1]!r} is not a valid {column.sql['duckdb']}", found[0], column.name
                    )
            return None
        finally:
            scratch.close()

    @contextlib.contextmanager
    def _scratch_writes(self) -> Iterator[None]:
        """A failed write to the scratch folder as one line naming the folder."""
        try:
            yield
        except OSError as e:
            raise LoadError(_scratch_failure(self.folder.name, e)) from None

    def commit(self) -> None:
        self.con.commit()

    def close(self) -> None:
        try:
            if self.stream is not None:
                with contextlib.suppress(OSError):
                    self.stream.close()
            self.con.close()
        finally:
            self.folder.cleanup()


def _scratch_folder() -> LockedFolder:
    parent = tempfile.gettempdir()
    try:
        return LockedFolder(parent, SCRATCH_PREFIX)
    except OSError as e:
        raise LoadError(_scratch_failure(parent, e)) from None


def _scratch_failure(folder: str, error: OSError) -> str:
    if error.errno in (errno.ENOSPC, errno.EDQUOT):
        return (
            f"no space left in {folder} ({SCRATCH_ROLE}): nothing loaded;"
            " set TMPDIR to a folder with room"
        )
    return f"{folder} ({SCRATCH_ROLE}): {error.strerror}: nothing loaded; TMPDIR moves it"


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
