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
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

from ..engine.safe_io import NAME_BYTES_KEPT
from ..inference.pool import HELD_SIGNALS
from ..sql.identifiers import quote
from ..sql.statements import create_table
from ..sql.table_schema import render
from ..sql.tables import Table
from .databases import Database, RowFailed
from .duckdb_db import DuckdbDatabase
from .fill import load_file
from .load_errors import LoadError, LoadUsageError
from .plan import Plan, make_plan, shown_path
from .postgres_db import PostgresDatabase
from .scratch import LockedFolder
from .sqlite_db import SqliteDatabase
from .targets import MEMORY, Target

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


# ---- running a plan ----


def connect(target: Target) -> Database:
    """An open connection in a transaction; DriverMissing names what to install."""
    kinds = {"sqlite": SqliteDatabase, "duckdb": DuckdbDatabase, "postgres": PostgresDatabase}
    return kinds[target.dialect](target)


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
        load_file(db, t, path, delimiter, plan.ignore_extra_fields, progress)
        files.append(shown_path(path))
    added = db.count(t.name) - before
    if added != t.rows:
        raise LoadError(
            f"table {t.name}: {added} rows arrived, and quorle counted {t.rows} in"
            f" {', '.join(files)}: nothing loaded"
        )
    return LoadedTable(t.name, added, files)


__all__ = [
    "LoadError", "LoadResult", "LoadUsageError", "LoadedTable", "Plan", "load", "make_plan",
    "run",
]  # fmt: skip
