"""`infer`: one pass over one file and its report, on one core, on every core of this
machine, or as byte ranges on an executor."""

from __future__ import annotations

import contextlib
import dataclasses
import os
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor
from typing import BinaryIO

import quorle_ext

from . import hygiene, ranges, safe_io, sources
from .many import cores
from .patterns import DEFAULT_NA_VALUES, PatternsArg, resolve_patterns
from .report import HeaderNotText, PassOutput, file_result, session_output
from .result import FileResult
from .sessions import PassOptions, Prototype, open_session

DEFAULT_WINDOW = 100000
MAX_WINDOW = 2**31 - 1
# Distinct example texts kept per column and kind of field when asked for.
EXAMPLES_PER_TYPE = 3
# Extras setting for row widths and longest fields only (cheap).
WIDTHS_ONLY = 0
# From this size a regular file is split over every core when `jobs` is not given. The split
# costs a few percent more CPU than one pass from the engine's own floor (512 KiB) up; at 1 MiB
# the pass is long enough (about 8 ms) for the threads' start to be paid back
# (bench/split_threshold.py, bench/README.md).
SPLIT_MIN_BYTES = 1024 * 1024


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
    # The session is dropped after this pass: no cache to leave behind for a next one.
    reason = inf._infer_split(threads, keep_cache=False)
    return session_output(inf, path), reason


def _notes(reason: str, proto: Prototype) -> list[str]:
    if reason == ranges.OVERLAP_REASON:
        return [one_core_note(proto)]
    if reason.startswith(ranges.RANGE_FAILED):
        return [f"read on one core: {reason}"]
    return []


Input = str | bytes | os.PathLike[str] | BinaryIO


def infer(
    path: Input,
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
    encoding: str = sources.UTF8,
) -> FileResult:
    """Streams the file once and reports every column's counts and suggested type.

    `path`: a path, or a readable binary file object (such as `sys.stdin.buffer`),
    read to its end. gzip, zstd, bzip2 and xz input is decompressed, known by its
    first bytes. `patterns`: a PatternTable, a pattern file's path or its object;
    None is the default table. `na_values`: texts that count as missing; None is
    the default set. `delimiter`: one byte, or "auto" to sniff it from the first
    block of the decoded text (pipes and compressed input too). `encoding`: the
    text's encoding (one in which ASCII characters keep their bytes, or UTF-16/32),
    transcoded to UTF-8 before fields are read; "auto" trusts a BOM, else takes
    UTF-8 if the first block (up to 1 MB) decodes and cp1252 with a warning if not.
    `window`: rows between emptyings of the value cache (0: never). `extras`: also
    keep example texts. `priority`: types that can match the same text resolve by
    table order, a field getting the first listed type that matches it.
    `types_file`: also write every field's type there; a regular or new file is
    replaced only once the pass has succeeded, and is left as it was otherwise (a
    FIFO, a device or a symbolic link is written in place).

    `jobs`: threads for the pass. None splits a regular file of SPLIT_MIN_BYTES or more
    over every core, 1 reads on one core. `executor`: any concurrent.futures.Executor (such
    as a Dask client's) that reads the file in byte ranges of `chunk_size` (bytes, or a text
    such as "256MB" or "1GiB"); its workers must see the file at the same path. The report
    is the same whichever way the file is read: where a split could change the counts (the
    types overlap) the file is read on one core, and a warning says so.

    A compressed or transcoded file, and a stream, is read on one core.

    Raises FileNotFoundError, IsADirectoryError, PermissionError or OSError naming
    the path (OSError too for a regular file that shrank while it was read, and for
    a damaged compressed stream, with its format and offset), ValueError for a bad
    delimiter, encoding, window, jobs or chunk size, for both jobs and an executor,
    for a pattern table that `priority` cannot rewrite, or for a header that is not
    text in the encoding.
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
        "encoding": encoding,
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
def types_output(path: Input, types_file: str | os.PathLike[str]) -> Iterator[str]:
    """Where a pass over `path` writes `types_file`: see safe_io.replaced_on_success. The
    input itself is refused: replacing it would destroy the data."""
    try:
        if isinstance(path, (str, bytes, os.PathLike)):
            same = os.path.samefile(path, types_file)
        else:
            same = os.path.samestat(os.fstat(path.fileno()), os.stat(types_file))
    except (OSError, AttributeError, ValueError):
        same = False  # a missing input is reported by the pass, a missing types file is new
    if same:
        name = os.fsdecode(types_file)
        raise OSError(f"Cannot open types file: {name} (it is the input file)")
    with safe_io.replaced_on_success(types_file, "types file") as written:
        yield written


def infer_to(
    path: Input,
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
    encoding: str = sources.UTF8,
) -> FileResult:
    """`infer`, writing the field types (unless `types_path` is None) straight to
    `types_path` as the pass goes: for a caller that keeps that file safe itself."""
    chunk = check_spread(jobs, executor, chunk_size)
    table = resolve_patterns(patterns)
    na = DEFAULT_NA_VALUES if na_values is None else frozenset(na_values)
    check_window(window)
    if delimiter != hygiene.AUTO:
        hygiene.check_delimiter(delimiter)
    engine_encoding = sources.check_encoding(encoding)
    source, rereadable = _open(path, encoding)
    name = source.name
    notes: list[str] = []
    if encoding == sources.AUTO:
        encoding, notes = sources.choose_encoding(source.head)
        engine_encoding = encoding
    # Python's name decodes the sample; the C library's reads the file.
    sample = sources.sample_text(source.head, encoding)
    chosen = hygiene.choose_delimiter(sample, source.head.complete, delimiter)
    if sample is None and delimiter == hygiene.AUTO:
        notes.append(
            f"the delimiter was not detected ({source.head.compression} input cannot be"
            f" sampled here): {chosen!r} is used; give --delimiter if it is another"
        )
    examples = EXAMPLES_PER_TYPE if extras else WIDTHS_ONLY
    engine_name = "" if sources.is_utf8(engine_encoding) else engine_encoding
    options = PassOptions(table, na, window, priority, chosen, examples, engine_name)
    # Byte ranges are ranges of the file's own text only, read by a path that other
    # processes can open (not stdin).
    ranged = source.head.compression == sources.PLAIN and not engine_name
    ranged = ranged and rereadable and source.path == name and types_path is None

    with sources.feeding(source) as engine_path:
        inf, proto = open_session(options, engine_path, types_path)
        with safe_io.SizeWatch(source.path, rereadable) as watch:
            try:
                if source.feed is not None:
                    output, reason = _read_stream(inf, name)
                elif executor is not None and ranged:
                    output, reason = ranges.read_on_executor(inf, name, options, executor, chunk)
                else:
                    threads = _threads(jobs, source.path, rereadable)
                    output, reason = _read_here(inf, name, threads)
            except HeaderNotText:
                raise _header_error(source, engine_encoding) from None
            except OSError as e:
                raise _renamed(e, engine_path, name) from None
            except RuntimeError as e:
                raise _engine_error(name, e) from None
            changed = watch.check()
    result = file_result(
        name,
        chosen,
        output,
        table,
        with_examples=extras,
        overlap_warnings=overlap_warnings(proto, priority),
        notes=[*notes, *_notes(reason, proto), *changed],
    )
    return dataclasses.replace(
        result,
        encoding=engine_encoding if engine_name else sources.UTF8,
        compression=inf._input_info()["compression"],
    )


def _open(path: Input, encoding: str) -> tuple[sources.Source, bool]:
    """The input and its first block; True if it is a regular file read by its path."""
    wanted = sources.AUTO_SAMPLE_BYTES if encoding == sources.AUTO else sources.SNIFF_BYTES
    if isinstance(path, (str, bytes, os.PathLike)):
        name = os.fsdecode(path)
        rereadable = hygiene.check_input(name)
        return sources.open_path(name, wanted), rereadable
    return sources.open_stream(path, wanted), False


def _read_stream(inf: quorle_ext.Inf, name: str) -> tuple[PassOutput, str]:
    """The pass over a pipe that a thread of this process feeds: a pipe is never split, so
    this is the plain pass, run with the interpreter lock released."""
    inf._infer_split(1)
    return session_output(inf, name), ""


def _renamed(error: OSError, engine_path: str, name: str) -> OSError:
    """The engine's error naming the input as the user knows it, not the pipe it read."""
    if engine_path == name:
        return error
    return type(error)(str(error).replace(engine_path, name, 1))


def _header_error(source: sources.Source, encoding: str) -> ValueError:
    """The header's bytes are not text in the encoding read: where, and what to do."""
    where = ""
    try:
        (source.head.text or b"").decode(sources.UTF8)
    except UnicodeDecodeError as e:
        where = f" at byte {e.start}"
    shown = "UTF-8" if sources.is_utf8(encoding) else encoding
    return HeaderNotText(
        f"{source.name}: the header is not valid {shown}{where}: give the file's encoding"
        " with --encoding NAME (encoding= in Python), or --encoding auto"
    )
