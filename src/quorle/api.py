"""`infer`: one pass over one file, in this process, and its report."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any, BinaryIO

import quorle_ext

from . import hygiene, safe_io, sources
from .patterns import DEFAULT_NA_VALUES, NA, OTHER, PatternsArg, PatternTable, resolve_patterns
from .priority import exclusive
from .result import ColumnResult, FileResult
from .suggest import suggest

DEFAULT_WINDOW = 100000
MAX_WINDOW = 2**31 - 1
# Distinct example texts kept per column and kind of field when asked for.
EXAMPLES_PER_TYPE = 3
# Extras setting for row widths and longest fields only (cheap).
WIDTHS_ONLY = 0


def check_window(window: int) -> int:
    if isinstance(window, bool) or not isinstance(window, int) or not 0 <= window <= MAX_WINDOW:
        raise ValueError(f"window must be an integer from 0 to {MAX_WINDOW}, not {window!r}")
    return window


def _engine_error(path: str, error: RuntimeError) -> Exception:
    """The engine's RuntimeError as the error a caller can act on, naming the path."""
    message = str(error)
    if message.startswith(("Cannot open types file", "Cannot write types file")):
        return OSError(message)
    if "input stream" in message:
        return OSError(f"{path}: the file could not be read")
    return RuntimeError(f"{path}: {message}")


def _columns(
    inf: quorle_ext.Inf, source: sources.Source, encoding: str, table: PatternTable, extras: bool
) -> tuple[list[str], list[ColumnResult]]:
    try:
        raw_names = inf.col_names
        candidates = inf.get_col_type_candidates()
    except UnicodeDecodeError:
        raise _header_error(source, encoding) from None
    gathered = inf._extras()
    width = len(raw_names)
    short_rows = hygiene.short_rows_by_position(gathered["row_widths"], width)
    order = [*table.names(), OTHER, NA]
    widening = table.widening()
    columns = []
    for position, name in enumerate(hygiene.strip_bom(raw_names)):
        found = candidates.get(raw_names[position], {})
        counts = {kind: found.get(kind, 0) for kind in order}
        suggested, notes = suggest(counts, widening)
        examples = None
        if extras:
            examples = hygiene.decoded_examples(gathered["examples"][position], order, suggested)
        columns.append(
            ColumnResult(
                name=name,
                counts=counts,
                suggested=suggested,
                notes=notes,
                max_length=gathered["max_lengths"][position],
                short_rows=short_rows[position],
                examples=examples,
            )
        )
    return raw_names, columns


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

    Raises FileNotFoundError, IsADirectoryError, PermissionError or OSError naming
    the path (OSError too for a regular file that shrank while it was read, and for
    a damaged compressed stream, with the format and the offset), ValueError for a
    bad delimiter, encoding, window or pattern table (or one that `priority` cannot
    rewrite) and for a header that is not text in the encoding.
    """
    settings = {
        "patterns": patterns,
        "na_values": na_values,
        "delimiter": delimiter,
        "window": window,
        "extras": extras,
        "priority": priority,
        "encoding": encoding,
    }
    if types_file is None:
        return infer_to(path, None, **settings)
    with types_output(path, types_file) as written:
        return infer_to(path, written, **settings)


@contextlib.contextmanager
def types_output(path: Input, types_file: str | os.PathLike[str]) -> Iterator[str]:
    """Where a pass over `path` writes `types_file`: see safe_io.replaced_on_success. The
    input itself is refused: replacing it would destroy the data."""
    try:
        if isinstance(path, (str, bytes, os.PathLike)):
            same = os.path.samefile(path, types_file)
        else:
            same = os.path.sameopenfile(path.fileno(), os.open(types_file, os.O_RDONLY))
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
    encoding: str = sources.UTF8,
) -> FileResult:
    """`infer`, writing the field types (unless `types_path` is None) straight to
    `types_path` as the pass goes: for a caller that keeps that file safe itself."""
    table = resolve_patterns(patterns)
    na = DEFAULT_NA_VALUES if na_values is None else frozenset(na_values)
    check_window(window)
    if delimiter != hygiene.AUTO:
        hygiene.check_delimiter(delimiter)
    engine_encoding = sources.check_encoding(encoding)
    source, rereadable = _open(path, encoding)
    warnings: list[str] = []
    if encoding == sources.AUTO:
        encoding, warnings = sources.choose_encoding(source.head)
        engine_encoding = encoding
    # Python's name for the sample, the C library's for the pass.
    sample = sources.sample_text(source.head, encoding)
    chosen = hygiene.choose_delimiter(sample, source.head.complete, delimiter)
    if sample is None and delimiter == hygiene.AUTO:
        warnings.append(
            f"the delimiter was not detected ({source.head.compression} input cannot be"
            f" sampled here): {chosen!r} is used; give --delimiter if it is another"
        )
    settings = _Settings(table, na, chosen, window, extras, priority, types_path, engine_encoding)
    with sources.feeding(source) as engine_path:
        with safe_io.SizeWatch(source.path, rereadable) as watch:
            inf, overlaps = _run(engine_path, source, settings)
            changed = watch.check()
    raw_names, columns = _columns(inf, source, engine_encoding, table, extras)
    warnings += [
        *hygiene.header_warnings(raw_names, chosen),
        *hygiene.row_width_warnings(inf._extras()["row_widths"], len(raw_names)),
        # Types made exclusive need no warning, even where the engine cannot tell.
        *([] if priority else hygiene.overlap_warnings(overlaps)),
        *changed,
    ]
    return FileResult(
        source.name,
        chosen,
        inf.num_rows,
        columns,
        warnings,
        encoding=sources.UTF8 if sources.is_utf8(engine_encoding) else engine_encoding,
        compression=inf._input_info()["compression"],
    )


def _open(path: Input, encoding: str) -> tuple[sources.Source, bool]:
    """The input and its first block; True if it is a regular file read by path."""
    wanted = sources.AUTO_SAMPLE_BYTES if encoding == sources.AUTO else sources.SNIFF_BYTES
    if isinstance(path, (str, bytes, os.PathLike)):
        name = os.fsdecode(path)
        rereadable = hygiene.check_input(name)
        return sources.open_path(name, wanted), rereadable
    return sources.open_stream(path, wanted), False


@dataclass(frozen=True)
class _Settings:
    table: PatternTable
    na: frozenset[str]
    delimiter: str
    window: int
    extras: bool
    priority: bool
    types_path: str | None
    encoding: str


def _run(engine_path: str, source: sources.Source, s: _Settings) -> tuple[quorle_ext.Inf, Any]:
    """The engine's pass over `engine_path`. A stream's pass releases the interpreter
    lock, so that the thread feeding it can run."""
    # Paths go to the engine as the bytes the OS gave: a name need not be UTF-8.
    inf = quorle_ext.Inf(
        os.fsencode(engine_path),
        s.delimiter,
        s.table.sources(),
        set(s.na),
        False,
        s.types_path is not None,
        b"" if s.types_path is None else os.fsencode(s.types_path),
        s.window,
    )
    overlaps = inf._type_overlaps()
    if s.priority:
        # The engine gets the rewritten table, guarded only where types overlap
        # so that its automata stay small; results keep the user's names.
        inf.set_col_type_patterns(exclusive(s.table, overlaps).sources())
    inf._set_extras(EXAMPLES_PER_TYPE if s.extras else WIDTHS_ONLY)
    # Decompression is always on: the engine knows a compressed file by its first bytes.
    inf._set_input(True, "" if sources.is_utf8(s.encoding) else s.encoding)
    try:
        if source.feed is None:
            inf.infer_types()
        else:
            inf._infer_split(1)  # a pipe is never split: this is the plain pass, unlocked
    except OSError as e:
        if engine_path == source.name:
            raise
        raise type(e)(str(e).replace(engine_path, source.name, 1)) from None
    except RuntimeError as e:
        raise _engine_error(source.name, e) from None
    return inf, overlaps


def _header_error(source: sources.Source, encoding: str) -> ValueError:
    """The header's bytes are not text in the encoding read: where, and what to do."""
    where = ""
    try:
        (source.head.text or b"").decode(sources.UTF8)
    except UnicodeDecodeError as e:
        where = f" at byte {e.start}"
    shown = "UTF-8" if sources.is_utf8(encoding) else encoding
    return ValueError(
        f"{source.name}: the header is not valid {shown}{where}: give the file's encoding"
        " with --encoding NAME (encoding= in Python), or --encoding auto"
    )
