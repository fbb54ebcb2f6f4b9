"""Table definitions and load statements from whole-file counts.

Every choice here must keep every value of the file: a column type is narrowed
only when the longest field, or what the type's own expressions can match,
proves that the database keeps each value as written. Otherwise it is text.
"""

from __future__ import annotations

import csv
import functools
import json
import os
import re
import tempfile
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import quorle_ext

from .hygiene import printable
from .patterns import DEFAULT_NA_VALUES, NA, PatternsArg, TypeSpec, resolve_patterns

DIALECTS = ("sqlite", "postgres", "duckdb", "json")
SQL_DIALECTS = ("sqlite", "postgres", "duckdb")
TEXT_TYPES = {"sqlite": "TEXT", "postgres": "text", "duckdb": "VARCHAR"}

# Integer types by the most characters a field may have (a sign counts as one):
# 18 digits always fit in 64 bits, 38 in DuckDB's 128-bit HUGEINT.
INTEGER_TIERS = {
    "sqlite": ((18, "INTEGER"),),
    "postgres": ((9, "integer"), (18, "bigint")),
    "duckdb": ((9, "INTEGER"), (18, "BIGINT"), (38, "HUGEINT")),
}
WIDE_INTEGER = {"sqlite": "TEXT", "postgres": "numeric", "duckdb": "VARCHAR"}
# A double keeps any decimal text of at most 15 significant digits exactly.
REAL_DIGITS = 15
DUCKDB_MAX_PRECISION = 38
# Longest fields the time types keep to the microsecond, with the shortest
# offset ("Z") for the zone-aware one.
TIMESTAMP_LENGTH = len("2024-01-02T10:00:00.123456")
TIMESTAMPTZ_LENGTH = len("2024-01-02T10:00:00.123456Z")
TIME_LENGTH = len("10:00:00.123456")
# Rows between emptyings of the value cache in the pass that looks for
# missing-value strings: it bounds that pass's memory.
CACHE_WINDOW = 100000

# Texts that show what a type's expressions can match, asked of the engine.
PROBES = {
    "exponent": ("1e5", "1E5", "1.5e-7", "-2.5E+10", ".5e3"),
    "nonfinite": ("nan", "NaN", "inf", "Inf", "Infinity", "-inf"),
    "long_fraction": (
        "2024-01-02T10:00:00.1234567",
        "2024-01-02 10:00:00.1234567",
        "2024-01-02T10:00:00.1234567Z",
        "2024-01-02T10:00:00.1234567+02:00",
        "10:00:00.1234567",
    ),
    "offset": (
        "2024-01-02T10:00:00Z",
        "2024-01-02T10:00:00+02:00",
        "2024-01-02 10:00:00+0200",
        "2024-01-02T10:00Z",
        "10:00:00+02:00",
        "10:00:00Z",
    ),
    # DuckDB reads these as NULL without an error in a zone-aware column.
    "offset_without_seconds": (
        "2024-01-02T10:00Z",
        "2024-01-02T10:00+02:00",
        "2024-01-02 10:00+0200",
    ),
    "plain_datetime": ("2024-01-02T10:00:00", "2024-01-02 10:00", "2024-01-02T10:00:00.5"),
}


def _quote(identifier: str) -> str:
    return '"' + identifier.replace('"', '""') + '"'


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def table_name(path: str | os.PathLike[str]) -> str:
    """The file's stem made an identifier: letters, digits and '_', no leading digit."""
    name = re.sub(r"[^0-9A-Za-z_]", "_", Path(path).stem)
    return name if name and not name[0].isdigit() else "t_" + name


def column_names(headers: Sequence[str]) -> list[str]:
    """Usable, distinct column names. A header's first use keeps it; an empty one
    becomes column_N (its position), a repeated one gets _2, _3... Databases
    compare names without case, so this does too."""
    used: set[str] = set()
    keep = []
    for header in headers:
        first = bool(header.strip()) and header.lower() not in used
        if first:
            used.add(header.lower())
        keep.append(first)
    out = []
    for i, (header, kept) in enumerate(zip(headers, keep, strict=True)):
        if kept:
            out.append(header)
            continue
        base = header if header.strip() else f"column_{i + 1}"
        unique, k = base, 1
        while unique.lower() in used:
            k += 1
            unique = f"{base}_{k}"
        used.add(unique.lower())
        out.append(unique)
    return out


def probe(type_spec: TypeSpec, kind: str) -> bool:
    """Whether any of the type's expressions matches one of the kind's probe texts.

    The engine itself answers, so the answer is the one a pass would give.
    """
    return _probe(type_spec.name, type_spec.expressions, kind)


@functools.lru_cache(maxsize=256)
def _probe(name: str, expressions: tuple[str, ...], kind: str) -> bool:
    texts = PROBES[kind]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "probe.csv")
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow([f"p{i}" for i in range(len(texts))])
            writer.writerow(texts)
        inf = quorle_ext.Inf(path, ",", {name: list(expressions)}, set(), False, False, "", 0)
        inf.infer_types()
        counts = inf.get_col_type_candidates()
    return any(column[name] for column in counts.values())


def _integer(dialect: str, length: int, type_spec: TypeSpec) -> str:
    for longest, sql in INTEGER_TIERS[dialect]:
        if length <= longest:
            return sql
    return WIDE_INTEGER[dialect]


def _decimal(dialect: str, length: int, type_spec: TypeSpec) -> str:
    if probe(type_spec, "nonfinite"):
        return TEXT_TYPES[dialect]
    if dialect == "postgres":
        return "numeric"  # unconstrained numeric keeps every digit, exponents too
    if probe(type_spec, "exponent"):
        return TEXT_TYPES[dialect]
    if dialect == "sqlite":
        return "REAL" if length <= REAL_DIGITS else "TEXT"
    # A field of n characters has at most n integer digits and n - 1 fraction
    # digits, not necessarily in the same field.
    scale = max(length - 1, 0)
    precision = max(length + scale, 1)
    return f"DECIMAL({precision},{scale})" if precision <= DUCKDB_MAX_PRECISION else "VARCHAR"


def _datetime(dialect: str, length: int, type_spec: TypeSpec) -> str:
    if dialect == "sqlite" or probe(type_spec, "offset"):
        return TEXT_TYPES[dialect]  # a plain timestamp type drops an offset silently
    if length > TIMESTAMP_LENGTH and probe(type_spec, "long_fraction"):
        return TEXT_TYPES[dialect]
    return {"postgres": "timestamp", "duckdb": "TIMESTAMP"}[dialect]


def _datetimetz(dialect: str, length: int, type_spec: TypeSpec) -> str:
    if dialect == "sqlite" or probe(type_spec, "plain_datetime"):
        return TEXT_TYPES[dialect]  # a plain value would take the session's zone
    if length > TIMESTAMPTZ_LENGTH and probe(type_spec, "long_fraction"):
        return TEXT_TYPES[dialect]
    if dialect == "duckdb":
        return "VARCHAR" if probe(type_spec, "offset_without_seconds") else "TIMESTAMPTZ"
    return "timestamp with time zone"


def _time(dialect: str, length: int, type_spec: TypeSpec) -> str:
    if dialect == "sqlite" or probe(type_spec, "offset"):
        return TEXT_TYPES[dialect]
    if length > TIME_LENGTH and probe(type_spec, "long_fraction"):
        return TEXT_TYPES[dialect]
    return {"postgres": "time", "duckdb": "TIME"}[dialect]


def _fixed(types: Mapping[str, str]):
    return lambda dialect, length, type_spec: types[dialect]


# The built-in type map, by type name: (dialect, longest field, type) -> SQL type.
# A pattern file's "sql" entry for a type and dialect takes precedence.
BUILT_IN = {
    "integer": _integer,
    "decimal": _decimal,
    "number": _decimal,
    "scientific": _decimal,
    "datetime": _datetime,
    "datetimetz": _datetimetz,
    "time": _time,
    "date": _fixed({"sqlite": "TEXT", "postgres": "date", "duckdb": "DATE"}),
    "boolean": _fixed({"sqlite": "TEXT", "postgres": "boolean", "duckdb": "BOOLEAN"}),
}


def sql_type(
    type_name: str, dialect: str, max_length: int | None, patterns: PatternsArg = None
) -> str:
    """The column type for a suggested type; text for types the map does not know."""
    table = resolve_patterns(patterns)
    if type_name not in table:
        return TEXT_TYPES[dialect]
    type_spec = table[type_name]
    if dialect in type_spec.sql:
        return type_spec.sql[dialect]
    rule = BUILT_IN.get(type_name)
    return rule(dialect, max_length or 0, type_spec) if rule else TEXT_TYPES[dialect]


@dataclass(frozen=True)
class Column:
    name: str  # usable and distinct within its table
    header: str  # as in the file
    type: str  # the suggested type
    nullable: bool
    max_length: int | None
    counts: Mapping[str, int]
    sql: Mapping[str, str]  # dialect -> column type


@dataclass(frozen=True)
class Table:
    name: str
    path: str
    delimiter: str
    rows: int
    short_rows: int
    na_values: tuple[str, ...]
    columns: list[Column] = field(default_factory=list)


def describe(
    result,
    *,
    patterns: PatternsArg = None,
    na_values: Iterable[str] | None = None,
    table: str | None = None,
) -> Table:
    """The table a result loads into: names, types per dialect, nullability."""
    resolved = resolve_patterns(patterns)
    names = column_names([c.name for c in result.columns])
    columns = []
    for name, c in zip(names, result.columns, strict=True):
        short = c.short_rows or 0
        # Counts of a column no row falls short of sum to the row count.
        nullable = result.rows == 0 or c.counts.get(NA, 0) > 0 or short > 0
        columns.append(
            Column(
                name=name,
                header=c.name,
                type=c.suggested,
                nullable=nullable,
                max_length=c.max_length,
                counts=dict(c.counts),
                sql={d: sql_type(c.suggested, d, c.max_length, resolved) for d in SQL_DIALECTS},
            )
        )
    return Table(
        name=table or table_name(result.path),
        path=str(result.path),
        delimiter=result.delimiter,
        rows=result.rows,
        short_rows=max((c.short_rows or 0 for c in result.columns), default=0),
        na_values=tuple(sorted(DEFAULT_NA_VALUES if na_values is None else na_values)),
        columns=columns,
    )


def create_table(t: Table, dialect: str) -> str:
    lines = [
        f"  {_quote(c.name)} {c.sql[dialect]}{'' if c.nullable else ' NOT NULL'}" for c in t.columns
    ]
    # STRICT makes SQLite refuse a value its column type cannot hold.
    suffix = " STRICT" if dialect == "sqlite" else ""
    return f"CREATE TABLE {_quote(t.name)} (\n" + ",\n".join(lines) + f"\n){suffix};"


def _source(t: Table) -> str:
    # A server or a shell started elsewhere must find the same file.
    return _literal(os.path.abspath(t.path))


def _duckdb_load(t: Table) -> str:
    if not t.na_values:
        return "-- No missing-value strings: DuckDB's COPY would read empty fields as NULL."
    nulls = ", ".join(_literal(v) for v in t.na_values)
    # The table gives the types; detection would only misread short rows.
    return (
        f"COPY {_quote(t.name)} FROM {_source(t)} (FORMAT csv, HEADER true, "
        f"DELIMITER {_literal(t.delimiter)}, QUOTE '\"', ESCAPE '\"', NULLSTR [{nulls}], "
        "AUTO_DETECT false, NULL_PADDING true);"
    )


def missing_texts(t: Table) -> set[str]:
    """The missing-value strings the file holds: a pass with no types that keeps
    as many example texts per column as there are strings."""
    inf = quorle_ext.Inf(t.path, t.delimiter, {}, set(t.na_values), False, False, "", CACHE_WINDOW)
    inf._set_extras(len(t.na_values))
    inf.infer_types()
    return {
        text.decode("utf-8") for column in inf._extras()["examples"] for text in column.get(NA, [])
    }


def _postgres_null(t: Table) -> tuple[str | None, str]:
    """The one NULL string COPY can take, or None and why there is none."""
    if not t.na_values:
        return (
            None,
            "no missing-value strings are set, and COPY reads unquoted empty fields as NULL",
        )
    if not any(c.counts.get(NA, 0) for c in t.columns):
        # No field equals a missing-value string unless it was counted as
        # missing, so any of them is safe when none occurs.
        return t.na_values[0], ""
    if len(t.na_values) == 1:
        seen = set(t.na_values)
    elif os.path.isfile(t.path):
        seen = missing_texts(t)
    else:
        # A pipe is gone after the first pass; a second one could wait forever.
        return None, "the input cannot be read again to find which missing-value strings it holds"
    if len(seen) > 1:
        listed = ", ".join(_literal(v) for v in sorted(seen))
        return (
            None,
            f"the missing values are several strings ({listed}), COPY takes one NULL string",
        )
    return seen.pop(), ""


def _postgres_load(t: Table) -> str:
    if t.short_rows:
        rows = "1 row is" if t.short_rows == 1 else f"{t.short_rows} rows are"
        return f"-- Not loadable with COPY: {rows} shorter than the header."
    null, why = _postgres_null(t)
    if null is None:
        return f"-- Not loadable with one COPY: {why}."
    nullable = [_quote(c.name) for c in t.columns if c.nullable]
    # FORCE_NULL: a quoted missing-value string is missing too, as in the counts.
    force = f", FORCE_NULL ({', '.join(nullable)})" if nullable else ""
    return (
        f"COPY {_quote(t.name)} FROM {_source(t)} WITH (FORMAT csv, HEADER true, "
        f"DELIMITER {_literal(t.delimiter)}, QUOTE '\"', NULL {_literal(null)}{force});"
    )


def _named(loader: Callable[[Table], str]) -> Callable[[Table], str]:
    """`loader`, for a file whose path a statement can name: UTF-8 text."""

    def load(t: Table) -> str:
        try:
            t.path.encode("utf-8")
        except UnicodeEncodeError:
            return (
                f"-- Not loadable with COPY: the path {printable(t.path)} is not UTF-8,"
                " and a statement can only name a path in UTF-8."
            )
        return loader(t)

    return load


LOADERS = {"duckdb": _named(_duckdb_load), "postgres": _named(_postgres_load)}


def _as_json(t: Table) -> dict:
    return {
        "name": t.name,
        "path": t.path,
        "delimiter": t.delimiter,
        "rows": t.rows,
        "columns": [
            {
                "name": c.name,
                "header": c.header,
                "type": c.type,
                "nullable": c.nullable,
                "max_length": c.max_length,
                "counts": dict(c.counts),
                "sql": dict(c.sql),
            }
            for c in t.columns
        ],
    }


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
    if table is not None and len(results) != 1:
        raise ValueError("a table name can be given for one file only")
    tables = [describe(r, patterns=patterns, na_values=na_values, table=table) for r in results]
    if dialect == "json":
        return json.dumps({"tables": [_as_json(t) for t in tables]}, indent=2)
    parts = []
    for t in tables:
        parts.append(create_table(t, dialect))
        if load and dialect in LOADERS:
            parts.append(LOADERS[dialect](t))
    return "\n\n".join(parts)
