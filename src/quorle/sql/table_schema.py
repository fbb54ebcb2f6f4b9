"""Table definitions and load statements from whole-file counts.

Every choice here must keep every value of the file: a column type is narrowed
only when the longest field, or what the type's own expressions can match,
proves that the database keeps each value as written. Otherwise it is text.
"""

from __future__ import annotations

import dataclasses
import json
from collections.abc import Iterable, Sequence
from typing import Any

from ..inference.patterns import (
    DEFAULT_NA_VALUES,
    NA,
    TEXT,
    PatternsArg,
    PatternTable,
    resolve_patterns,
)
from ..inference.result import ColumnResult
from .identifiers import SQL_DIALECTS, Namer, column_names, name_warnings, table_name, table_names
from .statements import LOADERS, as_json, create_table
from .tables import Column, Table
from .type_maps import Facts, duckdb_number_warning, sql_type, sqlite_number_warning

DIALECTS = ("sqlite", "postgres", "duckdb", "json")
# The name the engine gives an empty header cell: a user's table names it column_N instead.

__all__ = [
    "DIALECTS",
    "LOADERS",
    "SQL_DIALECTS",
    "Column",
    "Table",
    "column_names",
    "describe",
    "schema",
    "sql_type",
    "table_name",
]


def describe(
    result,
    *,
    patterns: PatternsArg = None,
    na_values: Iterable[str] | None = None,
    table: str | None = None,
) -> Table:
    """The table a result (or a Group) loads into: names, types per dialect,
    nullability. `table` is its name, made usable (see identifiers.Namer); None
    names it after the file."""
    encodings = readings = None
    if hasattr(result, "as_file_result"):
        members = tuple(zip(result.paths, result.delimiters, strict=True))
        if len(set(result.encodings)) > 1:
            encodings = dict(zip(result.paths, result.encodings, strict=True))
        if any(reading != result.reading for reading in result.readings):
            readings = dict(zip(result.paths, result.readings, strict=True))
        member_quirks = tuple(result.file_quirks or [None] * len(members))
        result = result.as_file_result()
    else:
        members = ((str(result.path), result.delimiter),)
        member_quirks = (getattr(result, "quirks", None),)
    resolved = resolve_patterns(patterns)
    headers = header_cells(result)
    names = column_names(headers)
    columns = []
    warnings = name_warnings(headers, names)
    number_warnings: dict[str, list[str]] = {"sqlite": [], "duckdb": []}
    for name, header, c in zip(names, headers, result.columns, strict=True):
        short = c.short_rows or 0
        fits = {
            "fits_double": c.fits_double,
            "fits_int64": c.fits_int64,
            "int_digits": c.int_digits,
            "frac_digits": c.frac_digits,
        }
        written = _written_in(c, resolved)
        # A format the table does not have cannot be converted: the fields go as written.
        suggested = TEXT if c.format is not None and written is None else c.suggested
        # Counts of a column no row falls short of sum to the row count.
        nullable = result.rows == 0 or c.counts.get(NA, 0) > 0 or short > 0
        columns.append(
            Column(
                name=name,
                header=header,
                type=suggested,
                nullable=nullable,
                max_length=c.max_length,
                counts=dict(c.counts),
                sql={
                    d: sql_type(suggested, d, c.max_length, resolved, **fits, formatted=written)
                    for d in SQL_DIALECTS
                },
                format=written,
                int_digits=c.int_digits,
                frac_digits=c.frac_digits,
            )
        )
        facts = Facts(c.max_length or 0, **fits)
        for dialect, warn in (("sqlite", sqlite_number_warning), ("duckdb", duckdb_number_warning)):
            warning = warn(name, c.suggested, facts, resolved)
            if warning is not None:
                number_warnings[dialect].append(warning)
    return Table(
        name=Namer().name(table) if table else table_name(result.path),
        path=str(result.path),
        delimiter=result.delimiter,
        rows=result.rows,
        short_rows=max((c.short_rows or 0 for c in result.columns), default=0),
        na_values=tuple(sorted(DEFAULT_NA_VALUES if na_values is None else na_values)),
        columns=columns,
        encoding=getattr(result, "encoding", "utf-8"),
        compression=getattr(result, "compression", "plain"),
        reading=getattr(result, "reading", None),
        members=members,
        warnings=tuple(warnings),
        dialect_warnings={d: tuple(ws) for d, ws in number_warnings.items()},
        encodings=encodings,
        quirks=getattr(result, "quirks", None),
        member_quirks=member_quirks,
        readings=readings,
    )


def header_cells(result: Any) -> list[str]:
    """The header cells as in the files, for `column_names`: a cell that was empty (in every
    file of a group) is "" again, whatever name the engine gave it."""
    return ["" if c.untitled else c.name for c in result.columns]


def describe_all(
    results: Sequence[Any],
    *,
    patterns: PatternsArg = None,
    na_values: Iterable[str] | None = None,
    table: str | None = None,
) -> list[Table]:
    """A table per result (a FileResult or a Group) of one run, with distinct names."""
    if table is not None and len(results) != 1:
        raise ValueError("a table name can be given for one file only")
    names = [table] if table is not None else table_names([_named_after(r) for r in results])
    resolved = resolve_patterns(patterns)
    return [
        describe(r, patterns=resolved, na_values=na_values, table=name)
        for r, name in zip(results, names, strict=True)
    ]


def _named_after(result: Any) -> str:
    """The path a result is named after: a group's first file."""
    return str(result.paths[0] if hasattr(result, "paths") else result.path)


def render(tables: Sequence[Table], dialect: str, load: bool | str = False) -> str:
    """The statements for `tables` in `dialect` (with a load statement per member file
    when `load`; "psql" for psql's \\copy), or for "json" their description."""
    if dialect == "json":
        return json.dumps({"tables": [as_json(t) for t in tables]}, indent=2)
    parts = []
    for t in tables:
        parts.append(create_table(t, dialect))
        loader = LOADERS.get("psql" if load == "psql" else dialect) if load else None
        if loader is not None:
            quirks = t.member_quirks or (t.quirks,) * len(t.members)
            for (path, delimiter), own in zip(t.members, quirks, strict=True):
                member = dataclasses.replace(
                    t, path=path, delimiter=delimiter, quirks=own, reading=t.reading_of(path)
                )
                parts.append(loader(member))
    return "\n\n".join(parts)


def schema(
    results,
    dialect: str,
    *,
    patterns: PatternsArg = None,
    na_values: Iterable[str] | None = None,
    table: str | None = None,
    load: bool = False,
) -> str:
    """One CREATE TABLE per result (a FileResult or a list of them), with its load
    statement when `load`; for "json", a description of every table."""
    if dialect not in DIALECTS:
        raise ValueError(f"unknown dialect {dialect!r}; expected one of {', '.join(DIALECTS)}")
    if not isinstance(results, (list, tuple)):
        results = [results]
    tables = describe_all(results, patterns=patterns, na_values=na_values, table=table)
    return render(tables, dialect, load)


def _written_in(column: ColumnResult, table: PatternTable) -> dict[str, Any] | None:
    """The format the column's fields are written in, as a pattern file writes it."""
    if column.format is None or column.suggested not in table:
        return None
    for found in table[column.suggested].formats:
        if found.name == column.format:
            return {"name": found.name, **found.as_dict()}
    return None
