"""`load`: files into database tables, read by quorle's tokenizer, all or nothing.

Each table is created (or replaced, or appended to) and filled in one
transaction for the whole run; its row count is checked against the rows the
pass counted before the commit. If anything fails, nothing is left behind;
a database file that did not exist appears only once it holds the whole load."""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import signal
import stat
import sys
import threading
import time
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

import quorle_ext

from . import archives, encoders
from ._groups import sum_groups
from .api import infer_checked
from .databases import MAX_COLUMNS, Database, RowFailed, connect
from .hygiene import BOM, printable
from .identifiers import quote
from .load_errors import LoadError, LoadUsageError
from .many import HELD_SIGNALS
from .options import Options
from .progress import ProgressBar
from .result import FileResult
from .rows import RowStarts, line_at, read_rows, row_start
from .safe_io import NAME_BYTES_KEPT
from .schema_file import STDIN, file_list, schema_document, tables_from_schema
from .scratch import LockedFolder
from .sources import STDIN_NAME
from .statements import create_table, file_stamp
from .table_schema import Column, Table, describe_all, render
from .targets import MEMORY, Target, TargetError, parse_target

IF_EXISTS = ("fail", "replace", "append")
# What reads standard input once more when a schema says it is "-".
STDIN_PATH = "/dev/stdin"
BATCH_ROWS = 20000
CANONICAL_CSV = "canonical_csv"
# Faults the engine's encoder stops at (RowEncoder::Fault).
FAULT_LONG_ROW, FAULT_NUL, FAULT_NOT_UTF8 = 1, 2, 3
# Files a database may keep beside its own (journal, write-ahead log): a new database is
# published only without them, as its whole content is then in its own file.
DATABASE_SIDE_FILES = ("-journal", "-wal", "-shm", ".wal")
# A new database is built in a hidden folder beside it, named ".NAME" + this + letters.
NEW_DATABASE_MARK = ".quorle-new-"
# For tests only: a path at which runs wait before publishing a new database.
PAUSE_BEFORE_PUBLISH = "_QUORLE_PAUSE_BEFORE_PUBLISH"
PAUSE_POLL_SECONDS = 0.01


@dataclass(frozen=True)
class LoadedTable:
    name: str
    rows: int
    files: list[str]


@dataclass(frozen=True)
class LoadResult:
    """The tables filled (their names, the rows added, the files), the seconds the
    load took (inference included), and the schema used (as `quorle schema
    --dialect json` writes it)."""

    tables: list[LoadedTable]
    seconds: float
    schema: dict[str, Any] = field(repr=False)
    into: str = ""


@dataclass
class Plan:
    target: Target
    tables: list[Table]
    if_exists: str
    ignore_extra_fields: bool

    def statements(self) -> list[str]:
        """What a run executes, in order, for a database without these tables
        (with --if-exists replace, the DROP is run only for a table that exists)."""
        out = []
        for t in self.tables:
            if self.if_exists == "replace":
                out.append(f"DROP TABLE IF EXISTS {quote(t.name, self.target.dialect)};")
            out.append(create_table(t, self.target.dialect))
        return out


def load(paths_or_results: Any, into: str, *, progress: bool = False, **options: Any) -> LoadResult:
    """Loads files (paths, or their FileResults from `infer`) into the database at
    `into`, one table per header, every value kept; `options` are those of `make_plan`
    (table, if_exists, schema, ignore_extra_fields, and `quorle.infer`'s). Raises LoadError
    when nothing was loaded because a file or the database failed (naming the
    file, line and column), LoadUsageError for a request that cannot be carried
    out, and OSError or ValueError as `infer` does."""
    start = time.perf_counter()
    plan = make_plan(paths_or_results, into, **options)
    loaded = run(plan, progress)
    document = json.loads(render(plan.tables, "json"))
    return LoadResult(loaded, time.perf_counter() - start, document, plan.target.display)


def make_plan(
    paths_or_results: Any,
    into: str,
    *,
    table: str | None = None,
    if_exists: str = "fail",
    schema: str | os.PathLike[str] | Mapping[str, Any] | None = None,
    ignore_extra_fields: bool = False,
    options: Options | None = None,
    **infer_options: Any,
) -> Plan:
    """The tables a load creates and fills: from `schema` (a JSON description
    written by `quorle schema --dialect json`, checked against the files), or
    else from inferring the files with `options` (checked already) or `infer_options`
    (`quorle.infer`'s keywords); nothing is touched yet."""
    if options is None:
        options = Options(**infer_options)
    elif infer_options:
        raise TypeError("give options or infer's keywords, not both")
    if if_exists not in IF_EXISTS:
        raise LoadUsageError(f"if_exists must be one of {', '.join(IF_EXISTS)}, not {if_exists!r}")
    try:
        target = parse_target(into)
    except TargetError as e:
        raise LoadUsageError(str(e)) from None
    if schema is not None:
        tables = tables_from_schema(schema_document(schema), table, file_list(paths_or_results))
    else:
        tables = _inferred_tables(paths_or_results, table, options)
    for t in tables:
        check_limits(t, target.dialect)
    return Plan(target, tables, if_exists, ignore_extra_fields)


def _inferred_tables(paths_or_results: Any, table: str | None, options: Options) -> list[Table]:
    items = paths_or_results
    if isinstance(items, (str, os.PathLike, FileResult)):
        items = [items]
    results = [r if isinstance(r, FileResult) else infer_checked(r, options) for r in items]
    if not results:
        raise LoadUsageError("no files to load")
    patterns = options.table
    groups = sum_groups(results, patterns.widening())
    if table is not None and len(groups) > 1:
        raise LoadUsageError(f"a table name is for one header, and the files have {len(groups)}")
    return describe_all(groups, patterns=patterns, na_values=options.na_values, table=table)


def shown_path(path: str) -> str:
    """A file as messages name it: standard input ("-" in a plan) as <stdin>."""
    return STDIN_NAME if path == STDIN else path


def check_limits(t: Table, dialect: str) -> None:
    """LoadError for a table no database of the dialect can take, naming the file."""
    path = shown_path(t.path)
    if not t.columns:
        raise LoadError(f"{path}: no columns: nothing to load")
    if t.rows == 0:
        raise LoadError(f"{path}: no data rows: nothing to load, and no types to choose")
    limit = MAX_COLUMNS.get(dialect)
    if limit is not None and len(t.columns) > limit:
        raise LoadError(
            f"{path}: {len(t.columns)} columns, and {dialect} allows {limit} in a table;"
            " `quorle schema --dialect json` describes a wide file"
        )


# ---- running a plan ----


def run(
    plan: Plan, progress: bool = False, report: Callable[[list[LoadedTable]], None] | None = None
) -> list[LoadedTable]:
    """Carries out the plan in one transaction; on any failure (a signal included)
    nothing stays. A database file that does not exist yet is built in a private
    folder beside it and appears whole once committed, or not at all. `report` hears
    of the tables loaded, once they are."""
    path = plan.target.path
    if path in (None, MEMORY) or os.path.lexists(path):
        loaded = _run_in(plan, plan.target, progress)
        if report is not None:
            report(loaded)
        return loaded
    folder, base = os.path.split(path)
    prefix = f".{os.fsdecode(os.fsencode(base)[:NAME_BYTES_KEPT])}{NEW_DATABASE_MARK}"
    try:
        building = LockedFolder(folder or os.curdir, prefix)
    except OSError as e:
        raise LoadError(f"{path}: cannot be created ({e.strerror}): nothing loaded") from None
    with building:
        new = os.path.join(building.name, base)
        loaded = _run_in(plan, dataclasses.replace(plan.target, path=new), progress)
        with _stop_signals_dropped():
            _publish(new, path)
            building.cleanup()
            if report is not None:
                report(loaded)
    return loaded


@contextlib.contextmanager
def _stop_signals_dropped() -> Iterator[None]:
    """Runs the block with the stop signals ignored, so that one arriving there is dropped.
    Publishing is the run's commit: a run stopped after it would report as not loaded a file
    that exists whole, and once the file is out all that is left is to say so."""
    if threading.current_thread() is not threading.main_thread():
        yield  # handlers run in the main thread only, and only it may swap them
        return
    previous = {}
    for signum in HELD_SIGNALS:
        if callable(signal.getsignal(signum)):
            previous[signum] = signal.signal(signum, signal.SIG_IGN)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _run_in(plan: Plan, target: Target, progress: bool) -> list[LoadedTable]:
    db: Database | None = None
    try:
        db = connect(target)
        loaded = [_fill(db, plan, t, progress) for t in _prepared(db, plan)]
        db.commit()
        return loaded
    except RowFailed as e:
        raise LoadError(plan.target.scrub(str(e))) from None
    except Exception as e:
        if _is_driver_error(e):
            raise LoadError(f"{plan.target.display}: {plan.target.scrub(str(e).strip())}") from None
        raise
    finally:
        if db is not None:
            with contextlib.suppress(Exception):
                db.close()


def _is_driver_error(error: Exception) -> bool:
    module = type(error).__module__ or ""
    return module.split(".")[0] in ("sqlite3", "duckdb", "_duckdb", "psycopg")


def _publish(new: str, path: str) -> None:
    """Gives the closed database `new` the name `path` too, unless a file has that name by
    now: a link, unlike a rename, never replaces one. Its folder goes with its own name."""
    if any(os.path.lexists(new + suffix) for suffix in DATABASE_SIDE_FILES):
        raise LoadError(f"{path}: the new database was not closed cleanly: nothing loaded")
    _pause_before_publish()
    try:
        os.link(new, path)
    except FileExistsError:
        raise LoadError(f"{path} was created by another run meanwhile: nothing loaded") from None
    except OSError as e:
        raise LoadError(f"{path}: cannot be created ({e.strerror}): nothing loaded") from None


def _pause_before_publish() -> None:
    """For tests: with PAUSE_BEFORE_PUBLISH set to a path, says it is here (PATH.PID) and
    waits until PATH exists, so that runs can be made to meet at the publishing step."""
    gate = os.environ.get(PAUSE_BEFORE_PUBLISH)
    if not gate:
        return
    with open(f"{gate}.{os.getpid()}", "w"):
        pass
    while not os.path.exists(gate):
        time.sleep(PAUSE_POLL_SECONDS)


def _prepared(db: Database, plan: Plan) -> Iterable[Table]:
    """Each table made ready to take rows, as `if_exists` says."""
    for t in plan.tables:
        if db.exists(t.name):
            if plan.if_exists == "fail":
                raise LoadUsageError(
                    f"table {t.name} exists in {plan.target.display}: --if-exists replace or append"
                )
            if plan.if_exists == "append":
                _check_same_columns(db, t)
                yield t
                continue
            db.execute(f"DROP TABLE {quote(t.name, db.dialect)}")
        db.execute(create_table(t, db.dialect))
        yield t


def _check_same_columns(db: Database, t: Table) -> None:
    have = db.column_types(t.name)
    want = db.probe_types(t)
    fold = [(n.casefold(), ty) for n, ty in have] != [(n.casefold(), ty) for n, ty in want]
    if fold:
        shown = ", ".join(f"{n} {ty}" for n, ty in want)
        raise LoadUsageError(
            f"table {t.name} has other columns than {shown_path(t.path)} needs ({shown}):"
            " nothing appended"
        )


def _fill(db: Database, plan: Plan, t: Table, progress: bool) -> LoadedTable:
    before = db.count(t.name)
    files = []
    for path, delimiter in t.members:
        _load_file(db, t, path, delimiter, plan.ignore_extra_fields, progress)
        files.append(shown_path(path))
    added = db.count(t.name) - before
    if added != t.rows:
        raise LoadError(
            f"table {t.name}: {added} rows arrived, and quorle counted {t.rows} in"
            f" {', '.join(files)}: nothing loaded"
        )
    return LoadedTable(t.name, added, files)


def _load_file(
    db: Database, t: Table, path: str, delimiter: str, ignore_extra: bool, progress: bool
) -> None:
    source = STDIN_PATH if path == STDIN else path
    fill = _fill_encoded if db.bulk_format else _fill_rows
    src = Source(
        shown_path(path), source, delimiter, ignore_extra, t.reading_of(path), t.encoding_of(path)
    )
    bar = _progress_bar(src) if progress else None
    offsets = RowStarts(lambda row: _find_row(src, row))
    try:
        db.open_file(t)
        fill(db, t, src, offsets, bar)
        db.close_file()
    except RowFailed as e:
        where = _where(src, offsets, e.row)
        column = f", column {e.column}" if e.column else ""
        raise LoadError(f"{where}{column}: {e}: nothing loaded") from None
    finally:
        if bar is not None:
            bar.close()


@dataclass(frozen=True)
class Source:
    path: str  # as named
    read: str  # what is opened
    delimiter: str
    ignore_extra: bool
    # How the pass read the rows (FileResult.reading): header, skip_lines, comment and
    # skip_blank_lines, as read_rows takes them.
    reading: Mapping[str, Any]
    encoding: str = "utf-8"  # the text's, transcoded to UTF-8 as the pass did

    @property
    def rereadable(self) -> bool:
        """Whether its lines can be counted again: a regular file (standard input too, when
        it is one: a spooled copy, or a file it was redirected from)."""
        try:
            return stat.S_ISREG(os.stat(archives.locate(self.read)[0]).st_mode)
        except OSError:
            return False


def _find_row(src: Source, row: int) -> int | None:
    return row_start(src.read, src.delimiter, row, **_reading(src))


def _reading(src: Source) -> dict[str, Any]:
    """How the row reader and encoder must read the file to see the rows the pass counted."""
    return {
        "encoding": src.encoding,
        "skip_blank_lines": bool(src.reading.get("skip_blank_lines", False)),
        "header": bool(src.reading.get("header", True)),
        "skip_lines": int(src.reading.get("skip_lines", 0)),
        "comment": src.reading.get("comment") or "",
    }


def _fill_rows(
    db: Database, t: Table, src: Source, offsets: RowStarts, bar: ProgressBar | None
) -> None:
    """Rows as Python values (SQLite): converted here, bound as parameters."""
    number = 0  # data rows so far
    width = len(t.columns)
    reading = _reading(src)
    batches = read_rows(src.read, src.delimiter, **reading)
    for index, (batch_offsets, rows) in enumerate(batches):
        if index == 0 and reading["header"]:
            _check_header(src.path, rows[0], t)
            batch_offsets, rows = batch_offsets[1:], rows[1:]
        offsets.add(array("q", batch_offsets))
        prepared, long_row = _as_wide(rows, width, src.ignore_extra)
        try:
            db.write(prepared, number + 1)
        except encoders.FieldError as e:
            row, column = number + 1 + e.row, t.columns[e.column]
            if e.not_utf8 is not None:
                raise _not_utf8(src, offsets, row, column, db.dialect, e.not_utf8) from None
            raise _field_error(src, offsets, row, column, str(e)) from None
        if long_row is not None:
            raise _long_row(src, offsets, number + 1 + long_row, width)
        number += len(rows)
        if bar is not None and batch_offsets:
            bar.update(batch_offsets[-1], number)


def _fill_encoded(
    db: Database, t: Table, src: Source, offsets: RowStarts, bar: ProgressBar | None
) -> None:
    """Rows encoded by the engine in the database's bulk format."""
    reading = _reading(src)
    try:
        file, member = archives.for_engine(src.read)
        encoder = quorle_ext._RowEncoder(
            file, src.delimiter, set(t.na_values),
            db.bulk_format == CANONICAL_CSV, src.ignore_extra, member=member, **reading,
        )  # fmt: skip
    except RuntimeError as e:
        raise LoadError(f"{src.path}: cannot be read ({e}): nothing loaded") from None
    if reading["header"]:
        _check_header(src.path, encoder.header, t)
    while True:
        rows, payload, starts = encoder.encode(BATCH_ROWS)
        batch = array("q")
        batch.frombytes(starts)
        offsets.add(batch)
        if rows:
            db.write_encoded(payload, encoder.longest_row)
        kind, row, column = encoder.fault
        if kind:
            # The database takes the rows before it first: a value it refuses earlier in
            # the file is the one reported.
            db.close_file()
            raise _fault(src, offsets, t, db.dialect, (kind, row, column))
        if rows == 0:
            return
        if bar is not None:
            bar.update(encoder.bytes_read, offsets.rows)


def _fault(
    src: Source, offsets: RowStarts, t: Table, dialect: str, fault: tuple[int, int, int]
) -> LoadError:
    kind, row, column = fault
    if kind == FAULT_LONG_ROW:
        return _long_row(src, offsets, row, len(t.columns))
    if kind == FAULT_NOT_UTF8:
        field = _field_at(src, row, column)
        return _not_utf8(src, offsets, row, t.columns[column], dialect, field)
    why = f"a NUL byte cannot be stored in {dialect} text"
    return _field_error(src, offsets, row, t.columns[column], why)


def _field_at(src: Source, row: int, column: int) -> bytes | None:
    """Data row `row`'s field in `column`, read again from the file's start (a cost only an
    error pays, as the encoder keeps no refused field); None where it cannot be read again."""
    if not src.rereadable:
        return None
    reading = _reading(src)
    before = row if reading["header"] else row - 1  # the rows read before it
    try:
        for _starts, rows in read_rows(src.read, src.delimiter, **reading):
            if before < len(rows):
                fields = rows[before]
                return fields[column] if column < len(fields) else None
            before -= len(rows)
    except (OSError, RuntimeError, ValueError):
        pass  # gone since: the message goes without the bytes
    return None


def _not_utf8(
    src: Source, offsets: RowStarts, row: int, column: Column, dialect: str, field: bytes | None
) -> LoadError:
    """The one message of every database for a field that is not UTF-8."""
    place = _place(src, offsets, row)
    where = f"{place}, " if place else ""
    return LoadError(
        f"{src.path}: {where}column {quote(column.name, dialect)}: {encoders.not_utf8(field)}:"
        " nothing loaded"
    )


def _long_row(src: Source, offsets: RowStarts, row: int, width: int) -> LoadError:
    return LoadError(
        f"{_where(src, offsets, row)}: a row longer than the header ({width} fields);"
        " --ignore-extra-fields drops the extra fields, and if the first lines are not the"
        " header, --skip-lines N skips them: nothing loaded"
    )


def _as_wide(
    rows: list[list[bytes]], width: int, ignore_extra: bool
) -> tuple[list[list[bytes | None]], int | None]:
    """The rows, each as wide as the table (a short row padded with None), up to the
    first row longer than the table unless extra fields are dropped; and that row's
    index, or None. The rows before it are written first, so that an earlier value the
    database refuses is the one reported."""
    for i, row in enumerate(rows):
        if len(row) == width:
            continue
        if len(row) < width:
            row.extend([None] * (width - len(row)))  # type: ignore[list-item]
        elif ignore_extra:
            del row[width:]
        else:
            return rows[:i], i  # type: ignore[return-value]
    return rows, None  # type: ignore[return-value]


def _check_header(path: str, header: list[bytes], t: Table) -> None:
    cells = [cell.decode("utf-8", "replace") for cell in header]
    if cells:
        cells[0] = cells[0].removeprefix(BOM)
    want = [c.header for c in t.columns]
    # The pass names an empty header cell itself, so an empty cell matches any name.
    same = len(cells) == len(want) and all(c in ("", w) for c, w in zip(cells, want, strict=True))
    if not same:
        raise LoadError(
            f"{path}: the header is not the one the schema was made for: nothing loaded"
        )


def _where(src: Source, offsets: RowStarts, row: int | None) -> str:
    """'FILE, line N' for a data row (1-based), or the row number where lines cannot be
    counted again (standard input, a pipe)."""
    place = _place(src, offsets, row)
    return f"{src.path}, {place}" if place else src.path


def _place(src: Source, offsets: RowStarts, row: int | None) -> str:
    """'line N' (1-based) of a data row, 'data row N' where lines cannot be counted again;
    "" for no row."""
    if row is None or not 0 < row <= offsets.rows:
        return ""
    # A pipe opened again would wait for a writer, or give what is left of its text.
    start = offsets.at(row) if src.rereadable else None
    if start is None:
        return f"data row {row}"
    return f"line {line_at(src.read, start, encoding=src.encoding)}"


def _field_error(
    src: Source, offsets: RowStarts, row: int, column: Column, message: str
) -> LoadError:
    return LoadError(
        f"{_where(src, offsets, row)}, column {column.name}: {message}: nothing loaded"
    )


def _progress_bar(src: Source) -> ProgressBar | None:
    if not sys.stderr.isatty():
        return None
    size = file_stamp(src.read)["size"]  # None for a pipe
    if not size:
        return None
    bar = ProgressBar(printable(src.path), size, sys.stderr)
    bar.update(0, 0)
    return bar


__all__ = [
    "LoadError", "LoadResult", "LoadUsageError", "LoadedTable", "Plan", "load", "make_plan",
    "run",
]  # fmt: skip
