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

from ..engine import archives, safe_io, sources
from . import hygiene, ranges
from .advice import reading_warnings
from .layout import Layout, find_layout
from .options import DEFAULT_WINDOW, Options
from .patterns import PatternsArg
from .pool import cores
from .report import HeaderNotText, HeaderTooLong, PassOutput, file_result, renamed, session_output
from .result import FileResult
from .sessions import PassOptions, Prototype, open_session

# Distinct example texts kept per column and kind of field when asked for.
EXAMPLES_PER_TYPE = 3
# Extras setting for row widths and longest fields only (cheap).
WIDTHS_ONLY = 0
# From this size a regular file is split over every core when `jobs` is not given. The split
# costs a few percent more CPU than one pass from the engine's own floor (512 KiB) up; at 1 MiB
# the pass is long enough (about 8 ms) for the threads' start to be paid back
# (bench/split_threshold.py, bench/README.md).
SPLIT_MIN_BYTES = 1024 * 1024
# Decoded text peeked at where the header does not end within the sample: enough to find a
# cell longer than the limit, which is refused before the pass.
HEADER_PEEK_BYTES = hygiene.HEADER_CELL_LIMIT + sources.SNIFF_BYTES


def _engine_error(path: str, error: RuntimeError) -> Exception:
    """The engine's RuntimeError as the error a caller can act on, naming the path."""
    if isinstance(error, quorle_ext._TypesFileError):
        return OSError(str(error))
    if isinstance(error, quorle_ext._StreamError):
        return OSError(f"{path}: the file could not be read")
    return RuntimeError(f"{path}: {error}")


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


def _read_here(
    inf: quorle_ext.Inf, path: str, threads: int, progress: quorle_ext._Progress | None
) -> tuple[PassOutput, str]:
    """One pass in this process on up to `threads` threads, other Python threads running
    meanwhile, and why it ran on one core where it could have used more ("" if it did
    not)."""
    # The session is dropped after this pass: no cache to leave behind for a next one.
    reason = inf._infer_released(threads, keep_cache=False, progress=progress)
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
    encoding: str | None = None,
    header: bool = True,
    skip_lines: int | None = None,
    comment: str | None = None,
    keep_blank_lines: bool | None = None,
    date_order: str | None = None,
    decimal_mark: str | None = None,
) -> FileResult:
    """Streams the file once and reports every column's counts and suggested type.

    `path`: a path, or a readable binary file object (such as `sys.stdin.buffer`),
    read to its end. gzip, zstd, bzip2 and xz input is decompressed, known by its
    first bytes. A zip archive is read as its one .csv, .tsv or .txt member, and
    "ARCHIVE.zip:MEMBER" reads the member named (ValueError when it is not clear
    which). `patterns`: a PatternTable, a pattern file's path or its object;
    None is the default table. `na_values`: texts that count as missing; None is
    the default set. `delimiter`: one byte, or "auto" to sniff it from the first
    block of the decoded text (pipes and compressed input too). `encoding`: the
    text's encoding (one in which ASCII characters keep their bytes, or UTF-16/32),
    transcoded to UTF-8 before fields are read; None is UTF-8, or UTF-16 or UTF-32
    where the file starts with their byte order mark (an encoding given that a UTF-16
    or UTF-32 mark contradicts is a ValueError); "auto" trusts a BOM, else takes
    UTF-8 if the first block (up to 1 MB) decodes and cp1252 with a warning if not.
    `window`: rows between emptyings of the value cache (0: never). `extras`: also
    keep example texts. `priority`: types that can match the same text resolve by
    table order, a field getting the first listed type that matches it.
    `types_file`: also write every field's type there; a regular or new file is
    replaced only once the pass has succeeded, and is left as it was otherwise (a
    FIFO, a device or a symbolic link is written in place).

    How rows are read: `skip_lines` physical lines are skipped first (a title above the
    header); a line starting with `comment` (one ASCII character) is skipped; with
    `header=False` the first row is data and the columns are column_1, column_2, ...
    `skip_lines=None` (the default) skips the lines above the header that the first block
    shows are not it (a title, a count: the first row that is as wide as the rows below it,
    or one field short, is the header), with a warning; a header one field short of every
    row (as R's write.table writes one) gets a first column "row_names" for the row names.
    `reading` in the result says what was done, and a later load does the same.
    Blank lines (no bytes between two line ends) are skipped, and counted in a warning,
    in a file of more than one column; a one-column file keeps them as missing values.
    `keep_blank_lines` True or False decides that for any file. Where every field of a
    column fits several of its type's formats, `date_order` ("dmy", "mdy", "ymd") or
    `decimal_mark` ("." or ",") chooses among them.

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
    delimiter, encoding, window, jobs, chunk size, skip_lines or comment, for both jobs
    and an executor, for a pattern table that `priority` cannot rewrite, for a header
    that is not text in the encoding, or for a header cell longer than 1 MiB.
    """
    options = Options(
        patterns=patterns, na_values=na_values, delimiter=delimiter, window=window,
        extras=extras, priority=priority, jobs=jobs, executor=executor, chunk_size=chunk_size,
        encoding=encoding, header=header, skip_lines=skip_lines, comment=comment,
        keep_blank_lines=keep_blank_lines, date_order=date_order, decimal_mark=decimal_mark,
    )  # fmt: skip
    return infer_checked(path, options, types_file)


def infer_checked(
    path: Input,
    options: Options,
    types_file: str | os.PathLike[str] | None = None,
    progress: quorle_ext._Progress | None = None,
) -> FileResult:
    """`infer` with its options checked already. `progress` gets the bytes read, unless the
    file is read on an executor."""
    if types_file is None:
        return infer_to(path, None, options, progress)
    with types_output(path, types_file) as written:
        return infer_to(path, written, options, progress)


@contextlib.contextmanager
def types_output(path: Input, types_file: str | os.PathLike[str]) -> Iterator[str]:
    """Where a pass over `path` writes `types_file`: see safe_io.replaced_on_success. The
    input itself is refused: replacing it would destroy the data."""
    try:
        if isinstance(path, (str, bytes, os.PathLike)):
            same = os.path.samefile(archives.locate(os.fsdecode(path))[0], types_file)
        else:
            same = os.path.samestat(os.fstat(path.fileno()), os.stat(types_file))
    except (OSError, AttributeError, ValueError):
        same = False  # a missing input is reported by the pass, a missing types file is new
    if same:
        name = os.fsdecode(types_file)
        raise OSError(f"Cannot open types file: {name} (it is the input file)")
    with safe_io.replaced_on_success(types_file, "types file") as written:
        yield written


@dataclasses.dataclass(frozen=True)
class _Prepared:
    """What the first block decided: the encoding read, the delimiter, where the rows start
    (the layout, if the first block shows one), how blank lines go, and notes on those
    choices; `sample`, the first block as decoded for sniffing."""

    encoding: str
    delimiter: str
    layout: Layout | None
    skip_blank_lines: bool
    notes: list[str]
    sample: str


def _prepare(source: sources.Source, options: Options) -> _Prepared:
    head = source.head
    # The engine chose the encoding as it read the head, and gave its text as UTF-8.
    notes = list(head.notes)
    sample = sources.sample_text(head)
    skip_lines = options.skip_lines or 0
    data = hygiene.data_sample(sample, skip_lines, options.comment)
    chosen = hygiene.choose_delimiter(data, head.complete, options.delimiter, options.comment)
    layout = None
    if options.skip_lines is None and options.header:
        layout = find_layout(
            sample, head.complete, options.delimiter, chosen, options.comment, sources.text_of
        )
    if layout is not None:
        chosen = layout.delimiter
        data = hygiene.data_sample(sample, layout.skip_lines, options.comment)
        notes.append(layout.note)
    skip_blank = options.keep_blank_lines is not True
    if options.keep_blank_lines is None:
        # A blank line is a real empty field only where a row is one field.
        skip_blank = hygiene.header_width(data, chosen) != 1
    return _Prepared(head.encoding, chosen, layout, skip_blank, notes, sample)


def _pass_options(options: Options, prepared: _Prepared) -> PassOptions:
    layout = prepared.layout
    return PassOptions(
        table=options.table, na_values=options.na, window=options.window,
        priority=options.priority, delimiter=prepared.delimiter,
        examples=EXAMPLES_PER_TYPE if options.extras else WIDTHS_ONLY,
        encoding=prepared.encoding,
        # A header one field short is read as a skipped line, and its names given after.
        header=options.header and (layout is None or layout.names is None),
        skip_lines=(options.skip_lines or 0) if layout is None else layout.skip_lines,
        comment=options.comment or "", skip_blank_lines=prepared.skip_blank_lines,
    )  # fmt: skip


def _checked_header(
    source: sources.Source, options: Options, prepared: _Prepared
) -> sources.Source:
    """The source, once its header is known to hold no cell longer than HEADER_CELL_LIMIT:
    where the header does not end within the sample, a longer peek at it decides, before
    the pass copies it anywhere. HeaderTooLong names the cell otherwise."""
    lead_in = options.skip_lines or 0
    sample = prepared.sample
    if not options.header or source.head.complete:
        return source
    if hygiene.header_ends(sample, lead_in, options.comment):
        return source
    source = sources.peek(source, HEADER_PEEK_BYTES)
    text = sources.sample_text(source.head, HEADER_PEEK_BYTES)
    cell = hygiene.long_header_cell(text, lead_in, options.comment, prepared.delimiter)
    if cell is not None:
        raise HeaderTooLong(
            f"{source.name}: header cell {cell} is longer than {hygiene.HEADER_CELL_LIMIT_SHOWN}:"
            " is the first line the header? (--no-header reads it as data)"
        )
    return source


def infer_to(
    path: Input,
    types_path: str | None,
    options: Options,
    progress: quorle_ext._Progress | None = None,
) -> FileResult:
    """`infer`, writing the field types (unless `types_path` is None) straight to
    `types_path` as the pass goes: for a caller that keeps that file safe itself."""
    source, rereadable = _open(path, options.encoding)
    prepared = _prepare(source, options)
    source = _checked_header(source, options, prepared)
    pass_options = _pass_options(options, prepared)
    inf, proto, output, notes = _run_pass(
        source, rereadable, pass_options, options, types_path, progress
    )
    layout = prepared.layout
    if layout is not None and layout.names is not None and len(layout.names) == len(output.names):
        output = renamed(output, layout.names)
    result = file_result(
        source.name,
        prepared.delimiter,
        output,
        options.table,
        with_examples=options.extras,
        overlap_warnings=overlap_warnings(proto, options.priority),
        line_of=sources.line_finder(source, pass_options.encoding, rereadable),
        tie_breakers=options.tie_breakers,
    )
    reading = options.reading(
        pass_options.header, pass_options.skip_lines, prepared.skip_blank_lines
    )
    result = dataclasses.replace(
        result,
        encoding=pass_options.encoding or sources.UTF8,
        compression=inf._input_info()["compression"],
        reading=reading,
    )
    utf8 = not pass_options.encoding
    advice = reading_warnings(result, proto.session, options.table, options.na, utf8)
    # Notes on how the file was read come last, where the user looks for them.
    later = [*prepared.notes, *notes]
    return dataclasses.replace(
        result,
        warnings=[*result.warnings, *advice.lines, *later],
        warning_details=[*result.warning_details, *advice.details, *later],
    )


def _run_pass(
    source: sources.Source,
    rereadable: bool,
    pass_options: PassOptions,
    options: Options,
    types_path: str | None,
    progress: quorle_ext._Progress | None,
) -> tuple[quorle_ext.Inf, Prototype, PassOutput, list[str]]:
    """The pass over the source on one core, on threads or as ranges on the executor: its
    session, prototype, output, and notes on how it was read."""
    name = source.name
    # Byte ranges for an executor are ranges of the file's own text only, read by a path
    # that other processes can open (not stdin, nor another descriptor of this process).
    ranged = options.executor is not None and source.head.compression == sources.PLAIN
    ranged = ranged and not pass_options.encoding and rereadable and source.path == name
    ranged = ranged and types_path is None and not hygiene.own_descriptor(name, regular=True)
    with sources.feeding(source) as engine_path:
        inf, proto = open_session(pass_options, engine_path, types_path, source.member)
        with safe_io.SizeWatch(source.path, rereadable) as watch:
            try:
                if source.feed is not None:
                    output, reason = _read_stream(inf, name, progress)
                elif ranged:
                    output, reason = ranges.read_on_executor(
                        inf, name, pass_options, options.executor, int(options.chunk_size)
                    )
                else:
                    threads = _threads(options.jobs, source.path, rereadable)
                    output, reason = _read_here(inf, name, threads, progress)
            except HeaderNotText:
                raise _header_error(source, pass_options.encoding) from None
            except OSError as e:
                raise _renamed(e, engine_path, name) from None
            except RuntimeError as e:
                raise _engine_error(name, e) from None
            changed = watch.check()
    return inf, proto, output, [*_notes(reason, proto), *changed]


def _open(path: Input, encoding: str | None) -> tuple[sources.Source, bool]:
    """The input and its first block; True if it is a regular file read by its path."""
    if isinstance(path, (str, bytes, os.PathLike)):
        name = os.fsdecode(path)
        rereadable = hygiene.check_input(archives.locate(name)[0])
        return sources.open_path(name, sources.SNIFF_BYTES, encoding), rereadable
    return sources.open_stream(path, sources.SNIFF_BYTES, encoding), False


def _read_stream(
    inf: quorle_ext.Inf, name: str, progress: quorle_ext._Progress | None
) -> tuple[PassOutput, str]:
    """The pass over a pipe that a thread of this process feeds: a pipe is never split, so
    this is the plain pass, run with the interpreter lock released."""
    inf._infer_released(1, progress=progress)
    return session_output(inf, name), ""


def _renamed(error: OSError, engine_path: str, name: str) -> OSError:
    """The engine's error naming the input as the user knows it, not the pipe it read."""
    # A zip member's errors name it ARCHIVE:MEMBER already.
    if engine_path == name or str(error).startswith(f"{name}:"):
        return error
    return type(error)(str(error).replace(engine_path, name, 1))


def _header_error(source: sources.Source, encoding: str) -> ValueError:
    """The header's bytes are not text in the encoding read: where, and what to do."""
    at = source.head.not_utf8_at
    where = f" at byte {at}" if at >= 0 else ""
    shown = encoding or "UTF-8"
    return HeaderNotText(
        f"{source.name}: the header is not valid {shown}{where}: give the file's encoding"
        " with --encoding NAME (encoding= in Python), or --encoding auto"
    )
