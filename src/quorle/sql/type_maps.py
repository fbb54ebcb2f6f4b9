"""Column types per dialect for a suggested type and the longest field."""

from __future__ import annotations

import functools
from collections.abc import Mapping
from dataclasses import dataclass

from ..engine.session import new_session
from ..inference.numbers import DOUBLE_TYPES, INTEGER_TYPES
from ..inference.patterns import PatternsArg, TypeSpec, resolve_patterns

TEXT_TYPES = {"sqlite": "TEXT", "postgres": "text", "duckdb": "VARCHAR"}

# Integer types by the most characters a field may have (a sign counts as one):
# 18 digits always fit in 64 bits, 38 in DuckDB's 128-bit HUGEINT.
INTEGER_TIERS = {
    "sqlite": ((18, "INTEGER"),),
    "postgres": ((9, "integer"), (18, "bigint")),
    "duckdb": ((9, "INTEGER"), (18, "BIGINT"), (38, "HUGEINT")),
}
WIDE_INTEGER = {"sqlite": "TEXT", "postgres": "numeric", "duckdb": "VARCHAR"}
# A double keeps any decimal text of at most 15 significant digits exactly: the
# rule for a column whose fields were not all checked.
REAL_DIGITS = 15
DUCKDB_MAX_PRECISION = 38
# Longest fields the time types keep to the microsecond, with the shortest
# offset ("Z") for the zone-aware one.
TIMESTAMP_LENGTH = len("2024-01-02T10:00:00.123456")
TIMESTAMPTZ_LENGTH = len("2024-01-02T10:00:00.123456Z")
TIME_LENGTH = len("10:00:00.123456")
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


def probe(type_spec: TypeSpec, kind: str) -> bool:
    """Whether any of the type's expressions matches one of the kind's probe texts.

    The engine itself answers, so the answer is the one a pass would give.
    """
    return _probe(type_spec.name, type_spec.expressions, kind)


@functools.lru_cache(maxsize=256)
def _probe(name: str, expressions: tuple[str, ...], kind: str) -> bool:
    inf = new_session(patterns={name: expressions})
    return name in inf._match_texts(list(PROBES[kind]))


@dataclass(frozen=True)
class Facts:
    """What a pass learnt of a column's fields: the longest, in bytes, and whether every
    field of the checked types is exactly a double as written, or fits in 64 bits (None:
    not checked)."""

    length: int = 0
    fits_double: bool | None = None
    fits_int64: bool | None = None


def _integer(dialect: str, facts: Facts, type_spec: TypeSpec) -> str:
    if dialect == "sqlite" and facts.fits_int64 is not None:
        return "INTEGER" if facts.fits_int64 else "TEXT"
    for longest, sql in INTEGER_TIERS[dialect]:
        if facts.length <= longest:
            return sql
    return WIDE_INTEGER[dialect]


def _decimal(dialect: str, facts: Facts, type_spec: TypeSpec) -> str:
    length = facts.length
    if probe(type_spec, "nonfinite"):
        return TEXT_TYPES[dialect]
    if dialect == "postgres":
        return "numeric"  # unconstrained numeric keeps every digit, exponents too
    if dialect == "sqlite" and facts.fits_double is not None:
        # The check reads exponents and refuses what overflows.
        return "REAL" if facts.fits_double else "TEXT"
    if probe(type_spec, "exponent"):
        return TEXT_TYPES[dialect]
    if dialect == "sqlite":
        return "REAL" if length <= REAL_DIGITS else "TEXT"
    # A field of n characters has at most n integer digits and n - 1 fraction
    # digits, not necessarily in the same field.
    scale = max(length - 1, 0)
    precision = max(length + scale, 1)
    return f"DECIMAL({precision},{scale})" if precision <= DUCKDB_MAX_PRECISION else "VARCHAR"


def _datetime(dialect: str, facts: Facts, type_spec: TypeSpec) -> str:
    if dialect == "sqlite" or probe(type_spec, "offset"):
        return TEXT_TYPES[dialect]  # a plain timestamp type drops an offset silently
    if facts.length > TIMESTAMP_LENGTH and probe(type_spec, "long_fraction"):
        return TEXT_TYPES[dialect]
    return {"postgres": "timestamp", "duckdb": "TIMESTAMP"}[dialect]


def _datetimetz(dialect: str, facts: Facts, type_spec: TypeSpec) -> str:
    if dialect == "sqlite" or probe(type_spec, "plain_datetime"):
        return TEXT_TYPES[dialect]  # a plain value would take the session's zone
    if facts.length > TIMESTAMPTZ_LENGTH and probe(type_spec, "long_fraction"):
        return TEXT_TYPES[dialect]
    if dialect == "duckdb":
        return "VARCHAR" if probe(type_spec, "offset_without_seconds") else "TIMESTAMPTZ"
    return "timestamp with time zone"


def _time(dialect: str, facts: Facts, type_spec: TypeSpec) -> str:
    if dialect == "sqlite" or probe(type_spec, "offset"):
        return TEXT_TYPES[dialect]
    if facts.length > TIME_LENGTH and probe(type_spec, "long_fraction"):
        return TEXT_TYPES[dialect]
    return {"postgres": "time", "duckdb": "TIME"}[dialect]


def _fixed(types: Mapping[str, str]):
    return lambda dialect, facts, type_spec: types[dialect]


# The built-in type map, by type name: (dialect, column facts, type) -> SQL type.
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


# Which built-in rules store numbers in SQLite: as REAL (checked for being exactly a
# double) and as INTEGER (checked for fitting 64 bits), as the pass checks their types.
SQLITE_REAL_RULES = tuple({BUILT_IN[name] for name in DOUBLE_TYPES})
SQLITE_INTEGER_RULES = tuple({BUILT_IN[name] for name in INTEGER_TYPES})


def sqlite_number_warning(
    column: str, type_name: str, facts: Facts, patterns: PatternsArg = None
) -> str | None:
    """Why a numeric column is TEXT in SQLite, when a checked field is not exactly a double
    (or does not fit in 64 bits) as written; None otherwise."""
    table = resolve_patterns(patterns)
    rule = BUILT_IN.get(type_name)
    if type_name not in table or "sqlite" in table[type_name].sql:
        return None
    if rule in SQLITE_REAL_RULES and facts.fits_double is False:
        what = "is not exactly a double"
    elif rule in SQLITE_INTEGER_RULES and facts.fits_int64 is False:
        what = "does not fit in 64 bits"
    else:
        return None
    return (
        f"column {column!r} is TEXT in SQLite, where it compares as text: "
        f"a {type_name} field {what} (longest field: {facts.length} characters)"
    )


def sql_type(
    type_name: str,
    dialect: str,
    max_length: int | None,
    patterns: PatternsArg = None,
    *,
    fits_double: bool | None = None,
    fits_int64: bool | None = None,
) -> str:
    """The column type for a suggested type; text for types the map does not know.
    `fits_double`/`fits_int64`: the pass's checks of the column (see numeric_checks);
    None where unchecked, and then only the longest field decides."""
    table = resolve_patterns(patterns)
    if type_name not in table:
        return TEXT_TYPES[dialect]
    type_spec = table[type_name]
    if dialect in type_spec.sql:
        return type_spec.sql[dialect]
    rule = BUILT_IN.get(type_name)
    facts = Facts(max_length or 0, fits_double, fits_int64)
    return rule(dialect, facts, type_spec) if rule else TEXT_TYPES[dialect]
