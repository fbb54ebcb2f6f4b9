"""DuckDB: the engine's canonical CSV written to parts in a scratch folder, each read by
DuckDB's own reader with every option set."""

from __future__ import annotations

import contextlib
import errno
import os
import tempfile
from collections.abc import Iterator
from typing import Any

from ..sql.identifiers import fold, literal, quote
from .databases import Database, DriverMissing, RowFailed
from .load_errors import LoadError
from .scratch import LockedFolder
from .targets import MEMORY, Target

# DuckDB reads the canonical rows in parts of about this size, so that the scratch space
# stays one part whatever the file's size (and a part is large enough to read in parallel).
PART_BYTES = 256 << 20
# DuckDB's CSV reader refuses a line longer than its limit, this by default: a part with a
# longer row raises the limit to fit it.
DUCKDB_LINE_BYTES = 2_000_000
# The DuckDB load's scratch folders in the temp dir (TMPDIR), one per run.
SCRATCH_PREFIX = "quorle-load-"
SCRATCH_ROLE = "the DuckDB load's scratch folder"


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
