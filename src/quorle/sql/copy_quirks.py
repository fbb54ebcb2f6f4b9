"""Where a database's CSV reader and quorle's read one file differently, per dialect.

Each rule was found by loading files into the real database: a quirk either has options
under which the database reads the file as quorle does (see `duckdb_options`), or makes the
file not loadable with that database's COPY, and the cause says why.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from typing import Any

from ..engine.rows import read_rows

Quirks = Mapping[str, Any]
# A rule: the cause as a sentence fragment, or "" when the file has no such quirk.
Rule = Callable[[Quirks], str]

LINE_END_NAMES = {"lf": "LF", "crlf": "CR LF", "cr": "CR"}
# Bytes a blank line starts with: it ends where it starts.
LINE_END_BYTES = (b"\n", b"\r")


def _count(n: int, one: str, many: str) -> str:
    return f"1 {one}" if n == 1 else f"{n} {many}"


def _counted(key: str, one: str, many: str, what: str) -> Rule:
    """The rule for a tally: "N <one|many> <what>" when the file has any."""

    def rule(q: Quirks) -> str:
        n = q.get(key, 0)
        return f"{_count(n, one, many)} {what}" if n else ""

    return rule


def _unclosed(q: Quirks) -> str:
    return "the file ends inside a quoted field" if q.get("unclosed_quote") else ""


def _mixed_line_ends(q: Quirks) -> str:
    ends = {k: v for k, v in (q.get("line_ends") or {}).items() if v}
    if len(ends) < 2:
        return ""
    listed = ", ".join(f"{v} {LINE_END_NAMES.get(k, k)}" for k, v in ends.items())
    return f"its rows end in more than one way ({listed})"


COMMON_RULES: tuple[Rule, ...] = (
    _counted("invalid_utf8", "field is", "fields are", "not valid UTF-8"),
    _unclosed,
    _mixed_line_ends,
    _counted(
        "skipped_lines", "line before the header was", "lines before the header were",
        "skipped by quorle, and COPY reads them as rows",
    ),
    _counted(
        "comment_lines", "comment line was", "comment lines were",
        "skipped by quorle, and COPY reads them as rows",
    ),
    _counted(
        "mid_field_quotes", "quote stands", "quotes stand",
        "inside unquoted fields, where COPY opens a quoted section",
    ),
)  # fmt: skip
# Postgres' CSV reader also ends at a line holding only `\.` (psql's even inside quotes),
# stores no NUL, reads a blank line as a row, and pads no short row nor cuts a long one. Text
# after a closing quote it keeps, as quorle does.
POSTGRES_RULES = (
    *COMMON_RULES,
    _counted(
        "long_rows", "row is", "rows are",
        "longer than the header, and quorle ignores the extra fields",
    ),
    _counted("copy_end_lines", "line holds", "lines hold", "only \\., which ends COPY's data"),
    _counted("nul_bytes", "field holds", "fields hold", "a NUL byte, which no Postgres text holds"),
    _counted(
        "blank_lines", "blank line was", "blank lines were",
        "skipped by quorle, and COPY reads them as rows",
    ),
    _counted("short_rows", "row is", "rows are", "shorter than the header"),
)  # fmt: skip
# DuckDB reads `\.` lines, NUL bytes and quoted line ends as quorle does, pads short rows
# (NULL_PADDING) and drops the extra fields of long rows (STRICT_MODE false); blank lines are
# judged apart (`duckdb_blank_rows`). A quote after spaces opens a field to it, so a mid-field
# quote can change a value. Text after a closing quote it refuses, or drops without strict mode.
DUCKDB_RULES = (
    *COMMON_RULES,
    _counted(
        "text_after_quote", "field has", "fields have",
        "text after its closing quote, which DuckDB drops",
    ),
)  # fmt: skip


def first_cause(q: Quirks, rules: tuple[Rule, ...]) -> str:
    """The first rule's cause that applies to the file ("": none)."""
    for rule in rules:
        cause = rule(q)
        if cause:
            return cause
    return ""


def duckdb_options(q: Quirks) -> str:
    """The options after the common ones under which DuckDB's COPY reads the file as quorle:
    STRICT_MODE false for long rows, whose extra fields it then drops (safe only where no
    field has text after its closing quote, which it would drop too); NULL_PADDING for short
    rows, and then its one-thread reader, the only one that pads rows with quoted line ends
    (not known: assumed there)."""
    options = ", STRICT_MODE false" if q.get("long_rows", 0) else ""
    if q.get("short_rows", 0):
        options += ", NULL_PADDING true"
        if q.get("quoted_line_ends", 1) > 0:
            options += ", PARALLEL false"
    return options


def blank_rows(path: str, delimiter: str) -> int:
    """The rows of the file, header included, that are blank lines to quorle's reading: one
    empty field whose row starts at a line end (a quoted empty field starts at its quote)."""
    found = 0
    with open(path, "rb") as raw:
        for offsets, rows in read_rows(path, delimiter):
            for offset, row in zip(offsets, rows, strict=True):
                if row == [b""]:
                    raw.seek(offset)
                    found += raw.read(1) in LINE_END_BYTES
    return found


def duckdb_blank_rows(path: str, delimiter: str, width: int, q: Quirks, nulls: set[str]) -> str:
    """Why DuckDB and quorle would disagree on the file's blank lines ("": they would not).
    DuckDB skips a blank line, except in a one-column file where "" is a NULL string; quorle
    skips them all, or reads each as a row. Only a one-column file or a file with short rows
    can hold such a row; the pass counts them ("blank_rows"), and a result saved without that
    count has its file read again."""
    as_rows = width == 1 and "" in nulls  # DuckDB's rows of NULL
    skipped = q.get("blank_lines", 0)
    if skipped:
        if not as_rows:
            return ""
        lines = _count(skipped, "blank line was", "blank lines were")
        return f"{lines} skipped by quorle, and DuckDB reads them as rows of a one-column file"
    if as_rows or (width > 1 and not q.get("short_rows", 0)):
        return ""
    n = q.get("blank_rows")
    if n is None:
        if not os.path.isfile(path):
            return "the input cannot be read again to find blank lines, which DuckDB skips"
        n = blank_rows(path, delimiter)
    if not n:
        return ""
    return (
        f"{_count(n, 'blank line is a row', 'blank lines are rows')} to quorle, which DuckDB skips"
    )
