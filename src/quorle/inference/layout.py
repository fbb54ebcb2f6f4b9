"""Where the table starts, found in the first block: lines above the header that are not it (a
count of rows and columns, a title), and a header one field short of its rows (R's write.table
gives the row names' column no header cell). Taken only where the rows say so plainly; the
file is read as it is otherwise."""

from __future__ import annotations

import csv
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from . import hygiene

# Lines above the header tried as a lead-in.
LEAD_IN_MAX_LINES = 10
# Lines read from a candidate header to judge it.
LINES_LOOKED_AT = 200
# Rows below a candidate header, all as wide, before lines above it are skipped.
SETTLED_ROWS = 2
# The name of the column of row names, which an R export leaves without one.
ROW_NAMES = "row_names"
# Characters of a skipped line quoted in the note.
SHOWN_CHARACTERS = 60


@dataclass(frozen=True)
class Layout:
    """`lead_in` lines skipped before the header; the delimiter past them; for a header one
    field short, the columns' names (the row names' first) and the lines the header takes,
    read as skipped lines; and a note saying what was done."""

    lead_in: int
    delimiter: str
    note: str
    names: list[str] | None = None
    header_lines: int = 0

    @property
    def skip_lines(self) -> int:
        return self.lead_in + self.header_lines


def _rows(lines: Sequence[str], delimiter: str, comment: str | None, cut: bool) -> list[list[str]]:
    """The rows of `lines` without blank and comment lines; the last dropped if `cut` (the
    sample ended inside it)."""
    try:
        rows = list(csv.reader(hygiene.row_lines(lines, comment), delimiter=delimiter))
    except csv.Error:
        return []
    if cut and rows:
        rows.pop()
    return rows


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _like_names(cells: Sequence[str]) -> bool:
    """Cells that read as column names: none empty, none twice, none a number."""
    stripped = [cell.strip() for cell in cells]
    return all(stripped) and len(set(stripped)) == len(stripped) and not any(map(_is_number, cells))


def _names_above_data(rows: Sequence[Sequence[str]]) -> bool:
    """A first row of names above one that is not (rows all of text pass for names too)."""
    return _like_names(rows[0]) and not _like_names(rows[1])


def _row_named(rows: Sequence[Sequence[str]]) -> bool:
    """A header of names one field short of every row below it, the first of which is not
    another header (as below a title); their first fields distinct (row names), their last
    not all empty (as a delimiter ending every row leaves them)."""
    header, body = rows[0], rows[1:]
    width = len(header) + 1
    return (
        _names_above_data(rows)
        and all(len(row) == width for row in body)
        and len({row[0] for row in body}) == len(body)
        and any(row[-1] for row in body)
    )


def _plain_header(
    above: Sequence[str], delimiter: str, comment: str | None, rows: Sequence[Sequence[str]]
) -> bool:
    """Whether the first of `rows` is plainly a header below lines `above` that are plainly not:
    names above data, and each line above, read alone, narrower than it (one as wide could be
    the header)."""
    width = len(rows[0])
    lead_in = (row for line in above for row in _rows([line], delimiter, comment, False))
    return _names_above_data(rows) and all(len(row) < width for row in lead_in)


def _settled_width(body: Sequence[Sequence[str]]) -> int | None:
    """The width every row of `body` has, if they are enough and of two fields or more."""
    widths = {len(row) for row in body}
    if len(body) < SETTLED_ROWS or len(widths) != 1:
        return None
    (width,) = widths
    return width if width > 1 else None


def find_layout(
    sample: str,
    complete: bool,
    delimiter: str,
    first_choice: str,
    comment: str | None,
    text_of: Callable[[str], str | None],
) -> Layout | None:
    """The layout of the first block when its first row is narrower than the rows below it;
    None to read it as it is. `delimiter`: the one given, or "auto"; `first_choice`: the
    delimiter of the whole block; `text_of` turns a piece of the sample into text (None if it
    is not text in the file's encoding)."""
    lines = hygiene.physical_lines(sample)
    for start in range(min(LEAD_IN_MAX_LINES, len(lines) - 1) + 1):
        window = lines[start : start + LINES_LOOKED_AT]
        cut = not complete or start + LINES_LOOKED_AT < len(lines)
        chosen = first_choice
        if start:
            text = "".join(hygiene.row_lines(window, comment))
            chosen = hygiene.choose_delimiter(text, not cut, delimiter, comment)
        rows = _rows(window, chosen, comment, cut)
        if len(rows) < 2:
            continue  # a quote left open above the header can hide the rows below it
        header, body = rows[0], rows[1:]
        if start == 0:
            usual = Counter(map(len, body)).most_common(1)[0][0]
            if len(header) == usual - 1 and _row_named(rows):
                return _row_names(lines, 0, chosen, rows, comment, text_of)
            # A first row as wide as most rows or wider is the header; unless no delimiter
            # split anything, when a title may hide the one that does.
            if len(header) > usual or (len(header) == usual and usual > 1):
                return None
            if len(header) == usual and delimiter != hygiene.AUTO:
                return None
            continue
        width = _settled_width(body)
        if width is None or len(header) not in (width, width - 1):
            continue
        if not _plain_header(lines[:start], chosen, comment, rows):
            return None
        if len(header) == width:
            return Layout(start, chosen, _lead_in_note(lines[:start], text_of))
        return (
            _row_names(lines, start, chosen, rows, comment, text_of) if _row_named(rows) else None
        )
    return None


def _row_names(
    lines: Sequence[str],
    start: int,
    delimiter: str,
    rows: Sequence[Sequence[str]],
    comment: str | None,
    text_of: Callable[[str], str | None],
) -> Layout | None:
    """The layout of the header at line `start`, one field short of its rows (row names)."""
    names = [text_of(cell) for cell in rows[0]]
    if any(name is None for name in names):
        return None  # the pass reports a header that is not text
    first, suffix = ROW_NAMES, 1
    while first in names:
        suffix += 1
        first = f"{ROW_NAMES}_{suffix}"
    note = (
        "the header has one field fewer than the rows, as R's write.table writes it: the"
        f" first column holds row names and is named {first!r} (--skip-lines {start} reads"
        " the header as it is)"
    )
    if start:
        note = f"{_lead_in_note(lines[:start], text_of)}; {note}"
    header_lines = _header_lines(lines[start:], delimiter, comment)
    return Layout(start, delimiter, note, [first, *names], header_lines)  # type: ignore[list-item]


def _header_lines(lines: Sequence[str], delimiter: str, comment: str | None) -> int:
    """The physical lines up to the end of the first row: blank and comment lines before it
    and the lines of its quoted line ends."""
    before = hygiene.header_line(lines, 0, comment)
    assert before is not None  # the rows were read from these lines
    reader = csv.reader(iter(lines[before:]), delimiter=delimiter)
    next(reader)
    return before + reader.line_num


def _lead_in_note(skipped: Sequence[str], text_of: Callable[[str], str | None]) -> str:
    first = text_of(skipped[0].rstrip("\r\n")) or skipped[0].rstrip("\r\n")
    if len(first) > SHOWN_CHARACTERS:
        first = first[:SHOWN_CHARACTERS] + "..."
    shown = hygiene.printable(first)
    if len(skipped) == 1:
        return f"the first line ({shown!r}) is not the header: skipped it, as --skip-lines 1 does"
    return (
        f"the first {len(skipped)} lines (the first: {shown!r}) are not the header: skipped"
        f" them, as --skip-lines {len(skipped)} does"
    )
