"""`infer`: one pass over one file and its report, on one core, on every core of this
machine, or as byte ranges on an executor."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor

import quorle_ext

from . import hygiene, ranges, safe_io
from .many import cores
from .patterns import DEFAULT_NA_VALUES, PatternsArg, resolve_patterns
from .report import PassOutput, file_result, session_output
from .result import FileResult
from .sessions import PassOptions, Prototype, open_session

DEFAULT_WINDOW = 100000
MAX_WINDOW = 2**31 - 1
# Distinct example texts kept per column and kind of field when asked for.
EXAMPLES_PER_TYPE = 3
# Extras setting for row widths and longest fields only (cheap).
WIDTHS_ONLY = 0
# From this size a regular file is split over every core when `jobs` is not given. Below it
# the split pass costs about twice the sequential CPU time (each range starts with a cold
# cache, and the cache a sequential pass would leave is rebuilt), so two cores gain nothing
# (bench/split_threshold.py, bench/README.md).
SPLIT_MIN_BYTES = 16 * 1024 * 1024


def check_window(window: int) -> int:
    if isinstance(window, bool) or not isinstance(window, int) or not 0 <= window <= MAX_WINDOW:
        raise ValueError(f"window must be an integer from 0 to {MAX_WINDOW}, not {window!r}")
    return window


def check_jobs(jobs: int | None) -> int | None:
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be None or an integer of 1 or more, not {jobs!r}")
    return jobs


def _engine_error(path: str, error: RuntimeError) -> Exception:
    """The engine's RuntimeError as the error a caller can act on, naming the path."""
    message = str(error)
    if message.startswith(("Cannot open types file", "Cannot write types file")):
        return OSError(message)
    if "input stream" in message:
        return OSError(f"{path}: the file could not be read")
    return RuntimeError(f"{path}: {message}")


def overlap_warnings(proto: Prototype, priority: bool) -> list[str]:
    # Types made exclusive need no warning, even where the engine cannot tell.
    return [] if priority else hygiene.overlap_warnings(proto.overlaps)


def one_core_note(proto: Prototype) -> str:
    """Why a file that could have been split was read on one core, and what to do about it."""
    if proto.overlaps:
        pairs = ", ".join(f"{a!r} and {b!r}" for a, b in proto.overlaps)
    else:
        pairs = "the engine could not rule it out"
    return (
        f"read on one core: the types overlap ({pairs}), so a field's type can depend on the"
        " fields read before it and the file cannot be split; with --priority (priority=True)"
        " the first listed type wins and the file is read on every core"
    )


def _threads(jobs: int | None, path: str, rereadable: bool) -> int:
    if jobs is not None:
        return jobs
    return cores() if rereadable and os.stat(path).st_size >= SPLIT_MIN_BYTES else 1


def _read_here(inf: quorle_ext.Inf, path: str, threads: int) -> tuple[PassOutput, str]:
    """One pass in this process on up to `threads` threads, and why it ran on one core
    where it could have used more ("" if it did not)."""
    if threads == 1:
        inf.infer_types()
        return session_output(inf, path), ""
    reason = inf._infer_split(threads)
    return session_output(inf, path), reason


def _notes(reason: str, proto: Prototype) -> list[str]:
    if reason == ranges.OVERLAP_REASON:
        return [one_core_note(proto)]
    if reason.startswith(ranges.RANGE_FAILED):
        return [f"read on one core: {reason}"]
    return []


def infer(
    path: str | os.PathLike[str],
    *,
    patterns: PatternsArg = None,
    na_values: Iterable[str] | None = None,
    delimiter: str = hygiene.AUTO,
    window: int = DEFAULT_WINDOW,
    extras: bool = False,
    priority: bool = False,
    types_file: str | os.PathLike[str] | None = None,
    jobs: int | None = None,
    executor: Executor | None = None,
    chunk_size: int | str = ranges.DEFAULT_CHUNK_SIZE,
) -> FileResult:
    """Streams the file once and reports every column's counts and suggested type.

    `patterns`: a PatternTable, a pattern file's path or its object; None is the
    default table. `na_values`: texts that count as missing; None is the default
    set. `delimiter`: one byte, or "auto" to sniff it from a regular file (input
    that can be read only once takes ","). `window`: rows between emptyings of the
    value cache (0: never). `extras`: also keep example texts. `priority`: types
    that can match the same text resolve by table order, a field getting the first
    listed type that matches it. `types_file`: also write every field's type there;
    a regular or new file is replaced only once the pass has succeeded, and is left
    as it was otherwise (a FIFO, a device or a symbolic link is written in place).

    `jobs`: threads for the pass. None splits a regular file of SPLIT_MIN_BYTES or more
    over every core, 1 reads on one core. `executor`: any concurrent.futures.Executor (such
    as a Dask client's) that reads the file in byte ranges of `chunk_size` (bytes, or a text
    such as "256MB" or "1GiB"); its workers must see the file at the same path. The report
    is the same whichever way the file is read: where a split could change the counts (the
    types overlap) the file is read on one core, and a warning says so.

    Raises FileNotFoundError, IsADirectoryError, PermissionError or OSError naming
    the path (OSError too for a regular file that shrank while it was read),
    ValueError for a bad delimiter, window, jobs or chunk size, for both jobs and an
    executor, or for a pattern table that `priority` cannot rewrite.
    """
    settings = {
        "patterns": patterns,
        "na_values": na_values,
        "delimiter": delimiter,
        "window": window,
        "extras": extras,
        "priority": priority,
        "jobs": jobs,
        "executor": executor,
        "chunk_size": chunk_size,
    }
    check_spread(jobs, executor, chunk_size)
    if types_file is None:
        return infer_to(path, None, **settings)
    with types_output(path, types_file) as written:
        return infer_to(path, written, **settings)


def check_spread(jobs: int | None, executor: Executor | None, chunk_size: int | str) -> int:
    """The chunk size in bytes, once `jobs`, `executor` and `chunk_size` are found usable
    together; ValueError otherwise."""
    if executor is not None and jobs is not None:
        raise ValueError("give jobs or an executor, not both: jobs counts threads of this machine")
    check_jobs(jobs)
    return ranges.parse_bytes(chunk_size)


@contextlib.contextmanager
def types_output(path: str | os.PathLike[str], types_file: str | os.PathLike[str]) -> Iterator[str]:
    """Where a pass over `path` writes `types_file`: see safe_io.replaced_on_success. The
    input itself is refused: replacing it would destroy the data."""
    try:
        same = os.path.samefile(path, types_file)
    except OSError:
        same = False  # a missing input is reported by the pass, a missing types file is new
    if same:
        name = os.fsdecode(types_file)
        raise OSError(f"Cannot open types file: {name} (it is the input file)")
    with safe_io.replaced_on_success(types_file, "types file") as written:
        yield written


def infer_to(
    path: str | os.PathLike[str],
    types_path: str | None,
    *,
    patterns: PatternsArg = None,
    na_values: Iterable[str] | None = None,
    delimiter: str = hygiene.AUTO,
    window: int = DEFAULT_WINDOW,
    extras: bool = False,
    priority: bool = False,
    jobs: int | None = None,
    executor: Executor | None = None,
    chunk_size: int | str = ranges.DEFAULT_CHUNK_SIZE,
) -> FileResult:
    """`infer`, writing the field types (unless `types_path` is None) straight to
    `types_path` as the pass goes: for a caller that keeps that file safe itself."""
    chunk = check_spread(jobs, executor, chunk_size)
    name = os.fsdecode(path)
    table = resolve_patterns(patterns)
    na = DEFAULT_NA_VALUES if na_values is None else frozenset(na_values)
    check_window(window)
    if delimiter != hygiene.AUTO:
        hygiene.check_delimiter(delimiter)
    rereadable = hygiene.check_input(name)
    chosen = hygiene.choose_delimiter(name, delimiter, rereadable)
    examples = EXAMPLES_PER_TYPE if extras else WIDTHS_ONLY
    options = PassOptions(table, na, window, priority, chosen, examples)

    inf, proto = open_session(options, name, types_path)
    with safe_io.SizeWatch(name, rereadable) as watch:
        try:
            if executor is not None and rereadable and types_path is None:
                output, reason = ranges.read_on_executor(inf, name, options, executor, chunk)
            else:
                output, reason = _read_here(inf, name, _threads(jobs, name, rereadable))
        except RuntimeError as e:
            raise _engine_error(name, e) from None
        changed = watch.check()
    return file_result(
        name,
        chosen,
        output,
        table,
        with_examples=extras,
        overlap_warnings=overlap_warnings(proto, priority),
        notes=[*_notes(reason, proto), *changed],
    )
