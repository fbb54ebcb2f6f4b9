"""Warnings about how a file was read, made from a finished pass: lines skipped, a header
that looks like data, missing-value spellings that may be real words, bytes that are not
UTF-8. Each says what to change, and a kind that concerns many columns says it once."""

from __future__ import annotations

import shlex
from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import quorle_ext

from . import hygiene
from .patterns import OTHER, TEXT, PatternTable
from .result import ColumnResult, FileResult
from .suggest import percent

# A text column holding more missing-value spellings than this uses them as such.
MAX_WORD_SPELLINGS = 2
# Columns named in a warning before the rest are counted.
COLUMNS_NAMED = 5
VERBOSE_HINT = "--verbose (warning_details in Python) gives a line per column"


def plural(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def listed(names: Sequence[str]) -> str:
    """The first COLUMNS_NAMED names quoted, then how many more there are."""
    shown = ", ".join(map(repr, names[:COLUMNS_NAMED]))
    more = len(names) - COLUMNS_NAMED
    return f"{shown} and {more} more" if more > 0 else shown


@dataclass
class Warnings:
    """A file's warnings: `lines` says each kind once, naming its columns, and `details` says
    it once per column, as before they were summed up (--verbose shows them)."""

    lines: list[str] = field(default_factory=list)
    details: list[str] = field(default_factory=list)

    def add(self, details: Sequence[str], summary: str = "") -> None:
        """Warnings of one kind, with the line that stands for them when they are several."""
        self.details += details
        if summary and len(details) > 1:
            self.lines.append(f"{summary}; {VERBOSE_HINT}")
        else:
            self.lines += details


def duplicate_name_warnings(names: Sequence[str], warnings: Warnings) -> None:
    """Column names found at more than one position."""
    found = hygiene.duplicate_names(names)
    details = [
        f"column name {name!r} appears at positions {at}: their counts are combined"
        for name, at in found
    ]
    summary = (
        f"{len(found)} column names appear at more than one position"
        f" ({listed([name for name, _ in found])}): their counts are combined"
    )
    warnings.add(details, summary)


def blank_lines_note(quirks: Mapping[str, Any] | None, skipped: bool) -> list[str]:
    """How many blank lines were skipped, if any."""
    count = (quirks or {}).get("blank_lines", 0)
    if not skipped or not count:
        return []
    return [
        f"{plural(count, 'blank line')} skipped, as in a file of more than one column a blank"
        " line holds no row (--keep-blank-lines, keep_blank_lines=True, counts them as rows)"
    ]


def header_cell_types(proto: quorle_ext.Inf, cells: Sequence[str]) -> dict[str, int]:
    """How the table's types count the header's cells read as values, each classified alone
    by the prototype's compiled table."""
    return dict(Counter(proto._match_texts(list(cells))))


def header_like_data(proto: quorle_ext.Inf, names: Sequence[str], table: PatternTable) -> list[str]:
    """A warning when every header cell matches a type of the table other than text."""
    if not names:
        return []
    counts = header_cell_types(proto, names)
    typed = sum(counts.get(name, 0) for name in table.names() if name != TEXT)
    if typed != len(names):
        return []
    return [
        "every cell of the header reads as a value of a type (such as"
        f" {names[0]!r}): if the first line is data, give --no-header (header=False)"
    ]


def na_word_warnings(
    columns: Iterable[ColumnResult], na: Iterable[str], warnings: Warnings
) -> None:
    """Columns of text holding missing-value spellings other than the empty field: they may
    be real words (Cars93's AirBags holds "None" for no airbags). A column is text through
    its own words (fields of no type), not through a mix of types; one that holds more than
    MAX_WORD_SPELLINGS spellings marks missing values with them."""
    na = set(na)
    found: list[tuple[str, dict[str, int]]] = []
    for column in columns:
        words = {k: n for k, n in (column.na_spellings or {}).items() if k != "" and n}
        worded = column.suggested == TEXT and column.counts.get(OTHER, 0) > 0
        if worded and 0 < len(words) <= MAX_WORD_SPELLINGS:
            found.append((column.name, words))
    advice = "if they are values, narrow the missing values with --na {} -- (na_values= in Python)"
    summed: Counter[str] = Counter()
    details = []
    for name, words in found:
        summed.update(words)
        details.append(
            f"column {name!r} is text and holds texts counted as missing ({_held(words)}): "
            + advice.format(_narrower(na, words))
        )
    summary = (
        f"{len(found)} text columns hold texts counted as missing ({_held(summed)}):"
        f" {listed([name for name, _ in found])}; " + advice.format(_narrower(na, summed))
    )
    warnings.add(details, summary)


def _held(words: Mapping[str, int]) -> str:
    return ", ".join(f"{k!r} {n}" for k, n in sorted(words.items(), key=lambda i: -i[1]))


def _narrower(na: set[str], words: Iterable[str]) -> str:
    """The missing values without `words`, as --na takes them."""
    return " ".join(shlex.quote(v) for v in sorted(na - set(words)))


def invalid_utf8_warning(columns: Sequence[ColumnResult], rows: int) -> list[str]:
    """Fields that are not UTF-8, per column: a load fails on them."""
    bad = [(c.name, c.invalid_utf8) for c in columns if c.invalid_utf8]
    if not bad:
        return []
    named = ", ".join(f"{name!r} {n}" for name, n in bad[:COLUMNS_NAMED])
    if len(bad) > COLUMNS_NAMED:
        named += f" and {len(bad) - COLUMNS_NAMED} more columns"
    total = sum(n for _, n in bad)
    share = percent(total, max(rows * len(columns), total))
    return [
        f"{plural(total, 'field')} ({share}) not valid UTF-8, by column: {named}; if the"
        " file is in a legacy encoding give --encoding cp1252 (or its own), or --encoding auto"
    ]


def reading_warnings(
    result: FileResult,
    proto: quorle_ext.Inf,
    table: PatternTable,
    na: Iterable[str],
    utf8: bool,
) -> Warnings:
    """Every warning above that applies to a finished pass's result. `utf8`: the file was
    read as UTF-8 (not transcoded)."""
    reading = result.reading or {}
    warnings = Warnings()
    warnings.add(blank_lines_note(result.quirks, bool(reading.get("skip_blank_lines"))))
    if reading.get("header", True):
        warnings.add(header_like_data(proto, [c.name for c in result.columns], table))
    na_word_warnings(result.columns, na, warnings)
    if utf8:
        warnings.add(invalid_utf8_warning(result.columns, result.rows))
    return warnings
