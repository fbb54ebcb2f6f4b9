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
    other than the suggestion.
    """

    name: str
    counts: dict[str, int]
    suggested: str
    notes: list[str]
    max_length: int | None = None
    short_rows: int | None = None
    examples: dict[str, list[str]] | None = None


@dataclass(frozen=True)
class FileResult:
    """One file: its delimiter, its data rows (the header not counted), its columns
    in header order, and warnings about the input or the pattern table. `encoding`
    and `compression` say how its bytes were read ("plain": not compressed), so
    that it can be read the same way again."""

    path: str
    delimiter: str
    rows: int
    columns: list[ColumnResult]
    warnings: list[str]
    encoding: str = "utf-8"
    compression: str = "plain"

    def to_dict(self) -> dict[str, Any]:
        """The JSON shape of the report: plain dicts, lists, strings and numbers."""
        return dataclasses.asdict(self)
