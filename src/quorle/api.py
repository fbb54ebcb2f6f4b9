"""`infer`: one pass over one file, in this process, and its report."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterable, Iterator

import quorle_ext

from . import hygiene, safe_io
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
    inf: quorle_ext.Inf, path: str, table: PatternTable, extras: bool
) -> tuple[list[str], list[ColumnResult]]:
    try:
        raw_names = inf.col_names
        candidates = inf.get_col_type_candidates()
    except UnicodeDecodeError:
        raise ValueError(f"{path}: the header is not valid UTF-8") from None
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

    Raises FileNotFoundError, IsADirectoryError, PermissionError or OSError naming
    the path (OSError too for a regular file that shrank while it was read),
    ValueError for a bad delimiter, window or pattern table (or one that
    `priority` cannot rewrite).
    """
    settings = {
        "patterns": patterns,
        "na_values": na_values,
        "delimiter": delimiter,
        "window": window,
        "extras": extras,
        "priority": priority,
    }
    if types_file is None:
        return infer_to(path, None, **settings)
    with types_output(path, types_file) as written:
        return infer_to(path, written, **settings)


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
) -> FileResult:
    """`infer`, writing the field types (unless `types_path` is None) straight to
    `types_path` as the pass goes: for a caller that keeps that file safe itself."""
    name = os.fsdecode(path)
    table = resolve_patterns(patterns)
    na = DEFAULT_NA_VALUES if na_values is None else frozenset(na_values)
    check_window(window)
    if delimiter != hygiene.AUTO:
        hygiene.check_delimiter(delimiter)
    rereadable = hygiene.check_input(name)
    chosen = hygiene.choose_delimiter(name, delimiter, rereadable)

    # Paths go to the engine as the bytes the OS gave: a name need not be UTF-8.
    inf = quorle_ext.Inf(
        os.fsencode(name),
        chosen,
        table.sources(),
        set(na),
        False,
        types_path is not None,
        b"" if types_path is None else os.fsencode(types_path),
        window,
    )
    overlaps = inf._type_overlaps()
    if priority:
        # The engine gets the rewritten table, guarded only where types overlap
        # so that its automata stay small; results keep the user's names.
        inf.set_col_type_patterns(exclusive(table, overlaps).sources())
    inf._set_extras(EXAMPLES_PER_TYPE if extras else WIDTHS_ONLY)
    with safe_io.SizeWatch(name, rereadable) as watch:
        try:
            inf.infer_types()
        except RuntimeError as e:
            raise _engine_error(name, e) from None
        changed = watch.check()
    raw_names, columns = _columns(inf, name, table, extras)
    warnings = [
        *hygiene.header_warnings(raw_names, chosen),
        *hygiene.row_width_warnings(inf._extras()["row_widths"], len(raw_names)),
        # Types made exclusive need no warning, even where the engine cannot tell.
        *([] if priority else hygiene.overlap_warnings(overlaps)),
        *changed,
    ]
    return FileResult(name, chosen, inf.num_rows, columns, warnings)
