"""Sums the results of files that share a header into one result per header."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from . import verdicts
from .result import ColumnResult, FileResult
from .suggest import suggest
from .tallies import add_counts, merge_examples


@dataclass(frozen=True)
class Group:
    """Files with the same header: their paths in input order, their summed data rows and, per
    header position, the summed counts with the suggestion made from those sums."""

    header: tuple[str, ...]
    paths: list[str]
    rows: int
    columns: list[ColumnResult]
    delimiters: list[str]  # each file's own, beside `paths`
    quirks: dict[str, Any] | None = None  # summed over the files
    reading: dict[str, Any] | None = None  # how the first file's rows were read
    # Each file's own, beside `paths`: how its bytes and its rows were read.
    encodings: list[str] = dataclasses.field(default_factory=list)
    compressions: list[str] = dataclasses.field(default_factory=list)
    readings: list[dict[str, Any] | None] = dataclasses.field(default_factory=list)
    file_quirks: list[dict[str, Any] | None] | None = None  # each file's own, beside `paths`

    def as_file_result(self) -> FileResult:
        """The group as one file's result (named after its first file), for whatever takes one,
        such as `quorle.schema`. Its encoding and compression are the files' when they share
        them, else the first that a database's own reader cannot take."""
        return FileResult(
            path=self.paths[0], delimiter=self.delimiters[0], rows=self.rows,
            columns=list(self.columns), warnings=[], quirks=self.quirks,
            reading=self.reading,
            encoding=_read_otherwise(self.encodings, UTF8),
            compression=_read_otherwise(self.compressions, PLAIN),
        )  # fmt: skip

    def to_dict(self) -> dict[str, Any]:
        return {
            "header": list(self.header),
            "paths": list(self.paths),
            "delimiters": list(self.delimiters),
            "rows": self.rows,
            "columns": [dataclasses.asdict(c) for c in self.columns],
            "quirks": self.quirks,
            "reading": self.reading,
            "readings": list(self.readings),
        }


UTF8, PLAIN = "utf-8", "plain"


def _read_otherwise(values: Sequence[str], usual: str) -> str:
    """The first value other than the usual one, or the usual one."""
    return next((v for v in values if v != usual), usual)


def header_of(result: FileResult) -> tuple[str, ...]:
    """The column names (a byte order mark is not part of them)."""
    return tuple(c.name for c in result.columns)


def sum_groups(
    outcomes: Sequence[Any],
    widening: Mapping[str, Any] | None,
    tie_breakers: Mapping[str, str] | None = None,
) -> list[Group]:
    """One Group per distinct header among the FileResults in `outcomes`, in order of first
    appearance; anything else (a FileError) is skipped. Files of one header may be read
    otherwise (lines above it skipped in one only): each keeps its own reading."""
    members: dict[tuple[str, ...], list[FileResult]] = {}
    for outcome in outcomes:
        if isinstance(outcome, FileResult):
            members.setdefault(header_of(outcome), []).append(outcome)
    return [_group(header, results, widening, tie_breakers) for header, results in members.items()]


def _group(
    header: tuple[str, ...],
    results: list[FileResult],
    widening: Mapping[str, Any] | None,
    tie_breakers: Mapping[str, str] | None,
) -> Group:
    paths = [r.path for r in results]
    columns = [
        _column(name, [r.columns[i] for r in results], paths, widening, tie_breakers)
        for i, name in enumerate(header)
    ]
    return Group(
        header=header,
        paths=[r.path for r in results],
        rows=sum(r.rows for r in results),
        columns=columns,
        delimiters=[r.delimiter for r in results],
        encodings=[r.encoding for r in results],
        compressions=[r.compression for r in results],
        quirks=_summed([r.quirks for r in results], add_counts),
        reading=results[0].reading,
        readings=[r.reading for r in results],
        file_quirks=[r.quirks for r in results],
    )


def _column(
    name: str,
    parts: list[ColumnResult],
    paths: list[str],
    widening: Mapping[str, Any] | None,
    tie_breakers: Mapping[str, str] | None,
) -> ColumnResult:
    counts = add_counts([part.counts for part in parts])
    suggested, notes = suggest(counts, widening)
    found = _formats(parts, paths)
    decided = verdicts.settle(suggested, list(notes), found, tie_breakers)
    return ColumnResult(
        name=name,
        counts=counts,
        suggested=decided.suggested,
        notes=decided.notes,
        max_length=_summed([p.max_length for p in parts], max),
        short_rows=_summed([p.short_rows for p in parts], sum),
        examples=_summed([p.examples for p in parts], merge_examples),
        na_spellings=_summed([p.na_spellings for p in parts], add_counts),
        invalid_utf8=_summed([p.invalid_utf8 for p in parts], sum),
        fits_double=_summed([p.fits_double for p in parts], all),
        fits_int64=_summed([p.fits_int64 for p in parts], all),
        untitled=_summed([p.untitled for p in parts], all),
        formats=found or None,
        format=decided.format,
        verdict=decided.verdict,
        decided_at_line=decided.decided_at_line,
        int_digits=_summed([p.int_digits for p in parts], max),
        frac_digits=_summed([p.frac_digits for p in parts], max),
    )


def _formats(parts: list[ColumnResult], paths: list[str]) -> dict[str, Any]:
    """The files' evidence of formats by type, each ruling-out line naming its file."""
    by_type: dict[str, list[dict[str, Any]]] = {}
    for part, path in zip(parts, paths, strict=True):
        for type_name, found in (part.formats or {}).items():
            named = {n: {**first, "path": path} for n, first in found["ruled_out"].items()}
            by_type.setdefault(type_name, []).append({**found, "ruled_out": named})
    return {type_name: verdicts.merged(found) for type_name, found in by_type.items()}


def _summed(values: list[Any], combine: Callable[[list[Any]], Any]) -> Any:
    """combine() of the files' values, or None if no file has one."""
    known = [v for v in values if v is not None]
    return combine(known) if known else None
