"""Sums the results of files that share a header into one result per header."""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from .result import ColumnResult, FileResult
from .suggest import suggest


@dataclass(frozen=True)
class Group:
    """Files with the same header: their paths in input order, their summed data rows and, per
    header position, the summed counts with the suggestion made from those sums."""

    header: tuple[str, ...]
    paths: list[str]
    rows: int
    columns: list[ColumnResult]
    delimiters: list[str]  # each file's own, beside `paths`

    def as_file_result(self) -> FileResult:
        """The group as one file's result (named after its first file), for whatever takes one,
        such as `quorle.schema`."""
        return FileResult(
            path=self.paths[0], delimiter=self.delimiters[0], rows=self.rows,
            columns=list(self.columns), warnings=[],
        )  # fmt: skip

    def to_dict(self) -> dict[str, Any]:
        return {
            "header": list(self.header),
            "paths": list(self.paths),
            "delimiters": list(self.delimiters),
            "rows": self.rows,
            "columns": [dataclasses.asdict(c) for c in self.columns],
        }


def header_of(result: FileResult) -> tuple[str, ...]:
    """The column names (a byte order mark is not part of them)."""
    return tuple(c.name for c in result.columns)


def sum_groups(outcomes: Sequence[Any], widening: Mapping[str, Any] | None) -> list[Group]:
    """One Group per distinct header among the FileResults in `outcomes`, in order of first
    appearance; anything else (a FileError) is skipped."""
    members: dict[tuple[str, ...], list[FileResult]] = {}
    for outcome in outcomes:
        if isinstance(outcome, FileResult):
            members.setdefault(header_of(outcome), []).append(outcome)
    return [_group(header, results, widening) for header, results in members.items()]


def _group(
    header: tuple[str, ...], results: list[FileResult], widening: Mapping[str, Any] | None
) -> Group:
    columns = [
        _column(name, [r.columns[i] for r in results], widening) for i, name in enumerate(header)
    ]
    return Group(
        header=header,
        paths=[r.path for r in results],
        rows=sum(r.rows for r in results),
        columns=columns,
        delimiters=[r.delimiter for r in results],
    )


def _column(
    name: str, parts: list[ColumnResult], widening: Mapping[str, Any] | None
) -> ColumnResult:
    counts: dict[str, int] = {}
    for part in parts:
        for type_name, count in part.counts.items():
            counts[type_name] = counts.get(type_name, 0) + count
    suggested, notes = suggest(counts, widening)
    lengths = [p.max_length for p in parts if p.max_length is not None]
    short = [p.short_rows for p in parts if p.short_rows is not None]
    return ColumnResult(
        name=name,
        counts=counts,
        suggested=suggested,
        notes=list(notes),
        max_length=max(lengths) if lengths else None,
        short_rows=sum(short) if short else None,
        examples=_examples([p.examples for p in parts]),
    )


def _examples(parts: list[dict[str, list[str]] | None]) -> dict[str, list[str]] | None:
    """Distinct examples per type in file order, as many as the fullest file kept."""
    kept = [p for p in parts if p is not None]
    if not kept:
        return None
    merged: dict[str, list[str]] = {}
    for type_name in dict.fromkeys(t for p in kept for t in p):
        lists = [p.get(type_name, []) for p in kept]
        limit = max(len(texts) for texts in lists)
        merged[type_name] = list(dict.fromkeys(t for texts in lists for t in texts))[:limit]
    return merged
