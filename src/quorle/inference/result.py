"""What `infer` returns: a report per file, a report per column."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class ColumnResult:
    """One header position.

    `counts` maps every type of the table, "other" and "NA" to a number of fields
    (header cells with the same name share their counts). `max_length` is the
    longest field in bytes, `short_rows` the rows too short to reach this column;
    `examples` (only when asked for) holds up to three texts of each kind of field
    other than the suggestion. `na_spellings` counts the fields of each missing-value
    string; `invalid_utf8` the fields that are not UTF-8; `fits_double` and `fits_int64`
    say whether every field of the types the pass was asked to check round-trips through a
    double, or fits in 64 bits; `int_digits` and `frac_digits` are the most digits such a
    field has before its point (leading zeros not counted) and after it, exponents aside.
    `untitled`: the header cell was empty (in every file of a group), and `name` is the one
    the engine gave it. For a type with formats, `format` names the one format every field
    of the type is written in, `verdict` says how that was decided, `decided_at_line` where,
    and `formats` holds the evidence.
    """

    name: str
    counts: dict[str, int]
    suggested: str
    notes: list[str]
    max_length: int | None = None
    short_rows: int | None = None
    examples: dict[str, list[str]] | None = None
    na_spellings: dict[str, int] | None = None
    invalid_utf8: int | None = None
    fits_double: bool | None = None
    fits_int64: bool | None = None
    untitled: bool | None = None
    # For types with formats: the evidence by type ({"fits": {format: bool}, "ruled_out":
    # {format: {"line", "text"}}}), the format the column is written in, how that was
    # decided ("decided", "ambiguous" or "mixed") and the line that decided it.
    formats: dict[str, Any] | None = None
    format: str | None = None
    verdict: str | None = None
    decided_at_line: int | None = None
    int_digits: int | None = None
    frac_digits: int | None = None


@dataclass(frozen=True)
class FileResult:
    """One file: its delimiter, its data rows (the header not counted), its columns
    in header order, and warnings about the input or the pattern table. `encoding`
    and `compression` say how its bytes were read ("plain": not compressed), so
    that it can be read the same way again. `quirks` counts what other CSV readers read
    differently (mid-field quotes, text after a closing quote, `\\.` lines, quoted line
    ends, line ends by kind, NUL bytes, an unclosed quote), the lines the reading skipped,
    the blank lines it read as rows (`blank_rows`) and the fields of each missing-value
    string over all columns (`na_spellings`). `reading` says how rows were read: `header`
    (False: the first row is data), `skip_lines`, `comment` (None for none) and
    `skip_blank_lines`. `warnings` says each kind of warning once, naming a few of its
    columns; `warning_details` says it once per column."""

    path: str
    delimiter: str
    rows: int
    columns: list[ColumnResult]
    warnings: list[str]
    encoding: str = "utf-8"
    compression: str = "plain"
    quirks: dict[str, Any] | None = None
    reading: dict[str, Any] | None = None
    warning_details: list[str] = dataclasses.field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        """The JSON shape of the report: plain dicts, lists, strings and numbers."""
        return dataclasses.asdict(self)
