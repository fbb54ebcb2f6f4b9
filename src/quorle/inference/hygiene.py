"""Checks on the input before a pass: the path, the delimiter, and the header."""

from __future__ import annotations

import csv
import errno
import io
import itertools
import os
import re
import stat
from collections.abc import Iterable, Iterator, Mapping, Sequence

import quorle_ext

from .patterns import NA

BOM = "\ufeff"
BOM_BYTES = BOM.encode("utf-8")
AUTO = "auto"
DEFAULT_DELIMITER = ","
# Tried in this order; a tie goes to the earlier one.
SNIFF_CANDIDATES = (",", ";", "\t", "|")
# Also tried last, and taken only when every sampled row is as wide as the header: text
# fields hold spaces in files of every other delimiter.
SPACE = " "
# A lone column whose name is at least this long was likely split by the wrong delimiter.
WIDE_HEADER = 40
# Characters that would move the cursor or end a line of output; shown as escapes.
CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")
# Characters the tokenizer gives a meaning of their own.
REFUSED_DELIMITERS = {'"': "the quote character", "\r": "a line end", "\n": "a line end"}


def printable(text: str) -> str:
    """`text` (a path as the OS gave it, say) fit to print on one line: bytes that are not
    UTF-8 (kept in the text as lone surrogates) and control characters become \\xNN."""
    try:
        raw = text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:  # a surrogate no byte decodes to
        raw = text.encode("utf-8", "backslashreplace")
    shown = raw.decode("utf-8", "backslashreplace")
    return CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", shown)


def check_delimiter(delimiter: str) -> str:
    """Returns the delimiter if the tokenizer can use it; ValueError says why not."""
    if not isinstance(delimiter, str) or len(delimiter.encode("utf-8")) != 1:
        raise ValueError(f"delimiter {delimiter!r}: must be one byte in UTF-8")
    if delimiter in REFUSED_DELIMITERS:
        raise ValueError(f"delimiter {delimiter!r}: cannot be {REFUSED_DELIMITERS[delimiter]}")
    return delimiter


def check_input(path: str) -> bool:
    """Raises the error a read of `path` would give, naming it; True for a regular file.

    Other inputs (pipes, terminals, `/dev/stdin`) are not opened here: a pipe can
    be read only once.
    """
    mode = os.stat(path).st_mode
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not os.access(path, os.R_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
    return stat.S_ISREG(mode)


def own_descriptor(path: str, regular: bool, folders: dict[str, bool] | None = None) -> bool:
    """Whether `path` is a descriptor of this process (/dev/fd/N, a pipe from <(...)), which
    another process opening the same path would not read: it gets its own descriptor N.
    `regular`: the path names a regular file; `folders` caches whether a folder is our
    descriptors' folder, for a run over many paths."""
    own = f"/proc/{os.getpid()}/fd"
    try:
        folder = os.path.dirname(os.path.abspath(path))
        known = {} if folders is None else folders
        if folder not in known:
            known[folder] = os.path.realpath(folder) == own
        # A descriptor of a regular file resolves to that file: only its folder tells.
        return known[folder] or (not regular and os.path.realpath(path).startswith(own + "/"))
    except OSError:
        return False  # no working folder to resolve against: not our descriptors' either


def _consistency(text: str, delimiter: str, complete: bool) -> tuple[float, int] | None:
    """How well `delimiter` splits the sample: the share of rows as wide as the
    header, and the header's width; None if the header has one field."""
    if delimiter not in text:
        return None  # every row is one field: no need to parse the sample
    try:
        rows = [row for row in csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)]
    except csv.Error:
        return None
    if not complete and len(rows) > 1:
        rows.pop()  # cut off by the end of the sample
    rows = [row for row in rows if row]
    if not rows or len(rows[0]) < 2:
        return None
    width = len(rows[0])
    return sum(len(row) == width for row in rows) / len(rows), width


def fallback_delimiter(excluded: str | None) -> str:
    """The delimiter taken when none is found."""
    return DEFAULT_DELIMITER if excluded != DEFAULT_DELIMITER else SNIFF_CANDIDATES[1]


def sniff_delimiter(text: str, complete: bool, excluded: str | None = None) -> str:
    """The candidate delimiter (never `excluded`) that splits the first rows of `text` (the
    start of the input, `complete` if it is all of it) most evenly into more than one field;
    "," (";" if "," is excluded) when none does."""
    best, best_score = fallback_delimiter(excluded), None
    for candidate in SNIFF_CANDIDATES:
        if candidate == excluded:
            continue
        score = _consistency(text, candidate, complete)
        if score is not None and (best_score is None or score > best_score):
            best, best_score = candidate, score
    if best_score is None or best_score[0] < 1:
        spaced = _consistency(text, SPACE, complete)
        if spaced is not None and spaced[0] == 1 and (best_score is None or spaced > best_score):
            best = SPACE
    return best


# A physical line: its text, then its end as the reader counts them (\r\n, \r or \n; none at
# the end of the text). Matches empty once past the last line.
# A header cell longer than this is refused before the pass: a first line that long is seldom
# a header, and as a column's name it would be copied at every step of the report.
HEADER_CELL_LIMIT = 1 << 20
HEADER_CELL_LIMIT_SHOWN = "1 MiB"


def physical_lines(text: str) -> list[str]:
    """The text's lines with their ends, as the reader counts them."""
    return quorle_ext._physical_lines(text)


def passed_over(line: str, comment: str | None) -> bool:
    """Whether the reader passes over `line` before the header, and the sniffer anywhere: a
    blank line, or a comment line."""
    return quorle_ext._passed_over(line, comment or "")


def row_lines(lines: Iterable[str], comment: str | None) -> Iterator[str]:
    """`lines` without those passed over (see passed_over)."""
    return (line for line in lines if not passed_over(line, comment))


def header_line(lines: Iterable[str], skip_lines: int, comment: str | None) -> int | None:
    """The index of the header's line in `lines`: past `skip_lines` lines, then past blank and
    comment lines; None if no line is left."""
    for index, line in enumerate(lines):
        if index >= skip_lines and not passed_over(line, comment):
            return index
    return None


def data_sample(sample: str, skip_lines: int, comment: str | None) -> str:
    """The sample as the tokenizer meets it: without the physical lines skipped before it,
    and without comment lines and blank lines, which would mislead the sniffer."""
    return "".join(row_lines(itertools.islice(physical_lines(sample), skip_lines, None), comment))


def _header_line(text: str, skip_lines: int, comment: str | None) -> str | None:
    """The header's first physical line in `text`, with its end if it has one; None if it
    does not start within `text`."""
    lines = physical_lines(text)
    index = header_line(lines, skip_lines, comment)
    return None if index is None else lines[index]


def header_ends(text: str, skip_lines: int, comment: str | None) -> bool:
    """Whether the header's first line ends within `text`."""
    line = _header_line(text, skip_lines, comment)
    return line is not None and line.endswith(("\r", "\n"))


def long_header_cell(text: str, skip_lines: int, comment: str | None, delimiter: str) -> int | None:
    """The position (from 1) of the first header cell in `text` longer than HEADER_CELL_LIMIT.
    Cells are measured between delimiters and line ends: quotes could only make a cell
    longer."""
    line = _header_line(text, skip_lines, comment)
    if line is None:
        return None
    start, stop = 0, len(line.rstrip("\r\n"))
    cell = 1
    while True:
        bound = line.find(delimiter, start, stop)
        if (stop if bound < 0 else bound) - start > HEADER_CELL_LIMIT:
            return cell
        if bound < 0:
            return None
        start, cell = bound + 1, cell + 1


def header_width(sample: str | None, delimiter: str) -> int | None:
    """The fields of the sample's first row (see data_sample); None when there is no
    sample, or no row in it."""
    if not sample:
        return None
    try:
        first = next(csv.reader(io.StringIO(sample, newline=""), delimiter=delimiter), None)
    except csv.Error:
        return None
    return len(first) if first is not None else None


def choose_delimiter(
    sample: str | None, complete: bool, delimiter: str, comment: str | None = None
) -> str:
    """The delimiter a pass uses: the one given, or for "auto" the one sniffed from the
    start of the decoded input (",": when there is no sample to sniff), never the mark of
    comment lines."""
    if delimiter != AUTO:
        return check_delimiter(delimiter)
    if sample is None:
        return fallback_delimiter(comment)
    return sniff_delimiter(sample, complete, comment)


def duplicate_names(names: Sequence[str]) -> list[tuple[str, str]]:
    """Each name found at more than one position, with those positions."""
    positions: dict[str, list[int]] = {}
    for i, name in enumerate(names, start=1):
        positions.setdefault(name, []).append(i)
    return [(name, ", ".join(map(str, at))) for name, at in positions.items() if len(at) > 1]


def one_column_warnings(names: Sequence[str], delimiter: str) -> list[str]:
    """A lone column whose name holds another delimiter, or is long enough to hold one."""
    if len(names) != 1:
        return []
    others = [c for c in SNIFF_CANDIDATES if c != delimiter and c in names[0]]
    if others:
        return [f"one column, and its name contains {others[0]!r}: is that the delimiter?"]
    if len(names[0]) >= WIDE_HEADER:
        return [
            f"one column, named by a first line of {len(names[0])} characters:"
            " if the file has another delimiter, give it with --delimiter"
        ]
    return []


def row_width_warnings(row_widths: Sequence[int], width: int) -> list[str]:
    """Rows shorter or longer than the header, from the engine's row widths."""
    warnings = []
    short = sum(row_widths[:width])
    long = row_widths[width + 1] if len(row_widths) > width + 1 else 0
    if short:
        warnings.append(
            f"{short} row{'s' if short != 1 else ''} shorter than the header ({width} fields):"
            " their missing fields are not counted"
        )
    if long:
        warnings.append(
            f"{long} row{'s' if long != 1 else ''} longer than the header ({width} fields):"
            " the extra fields are ignored; if the first lines are not the header,"
            " --skip-lines N skips them"
        )
    return warnings


def overlap_warnings(overlaps: Sequence[tuple[str, str]] | None) -> list[str]:
    """What the user must know when types of the table can match the same text."""
    if overlaps is None:
        return [
            "could not decide whether two types of the pattern table can match the same"
            " text; if they can, the counts depend on the order types are tried in"
        ]
    return [
        f"types {a!r} and {b!r} can match the same text: which one such a field gets"
        " depends on the order types are tried in"
        for a, b in overlaps
    ]


def strip_bom(names: list[str]) -> list[str]:
    if names and names[0].startswith(BOM):
        return [names[0][len(BOM) :], *names[1:]]
    return names


def short_rows_by_position(row_widths: Sequence[int], width: int) -> list[int]:
    """Per position, the rows with too few fields to reach it."""
    out, running = [], 0
    for position in range(width):
        running += row_widths[position] if position < len(row_widths) else 0
        out.append(running)
    return out


def decoded_examples(
    examples: Mapping[str, Sequence[bytes]], order: Sequence[str], skip: str
) -> dict[str, list[str]]:
    """Example texts of every type but `skip` (missing values are known already), in
    `order`, readable whatever their bytes."""
    return {
        name: [text.decode("utf-8", "backslashreplace") for text in examples[name]]
        for name in order
        if name not in (skip, NA) and examples.get(name)
    }
