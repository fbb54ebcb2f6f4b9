"""Column types per dialect for a suggested type and the longest field."""

from __future__ import annotations

import functools
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import quorle_ext

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


# Whether the type's expressions admit one of a kind's probe texts.
Probe = Callable[[str], bool]


@functools.lru_cache(maxsize=256)
def _probe(types: tuple[TypeSpec, ...], name: str, kind: str) -> bool:
    """Whether an expression of the type `name` of the table `types` matches one of the
    kind's probe texts: the table's engine answers, as a pass would match."""
    return _compiled(types)._type_matches(name, list(PROBES[kind]))


@functools.lru_cache(maxsize=8)
def _compiled(types: tuple[TypeSpec, ...]) -> quorle_ext.Inf:
    return new_session(patterns={t.name: list(t.expressions) for t in types})


@dataclass(frozen=True)
class Facts:
    """What a pass learnt of a column's fields: the longest, in bytes, whether every
    field of the checked types is exactly a double as written, or fits in 64 bits, and the
    most digits such a field has before its point and after it (None: not checked)."""

    length: int = 0
    fits_double: bool | None = None
    fits_int64: bool | None = None
    int_digits: int | None = None
    frac_digits: int | None = None

    def decimal_digits(self) -> tuple[int, int] | None:
        """(precision, scale) of the exact decimal type that holds every checked field, with
        an integer digit at least; None when the digits were not counted."""
        if self.int_digits is None or self.frac_digits is None:
            return None
        return max(self.int_digits, 1) + self.frac_digits, self.frac_digits


def _integer(dialect: str, facts: Facts, probe: Probe) -> str:
    if dialect == "sqlite" and facts.fits_int64 is not None:
        return "INTEGER" if facts.fits_int64 else "TEXT"
    for longest, sql in INTEGER_TIERS[dialect]:
        if facts.length <= longest:
            return sql
    return WIDE_INTEGER[dialect]


def _decimal(dialect: str, facts: Facts, probe: Probe) -> str:
    length = facts.length
    if probe("nonfinite"):
        return TEXT_TYPES[dialect]
    if dialect == "postgres":
        return "numeric"  # unconstrained numeric keeps every digit, exponents too
    if dialect == "sqlite" and facts.fits_double is not None:
        # The check reads exponents and refuses what overflows.
        return "REAL" if facts.fits_double else "TEXT"
    if dialect == "duckdb" and facts.decimal_digits() is not None:
        return _duckdb_number(facts, probe)
    if probe("exponent"):
        return TEXT_TYPES[dialect]
    if dialect == "sqlite":
        return "REAL" if length <= REAL_DIGITS else "TEXT"
    # A field of n characters has at most n integer digits and n - 1 fraction
    # digits, not necessarily in the same field.
    scale = max(length - 1, 0)
    precision = max(length + scale, 1)
    return f"DECIMAL({precision},{scale})" if precision <= DUCKDB_MAX_PRECISION else "VARCHAR"


def _duckdb_number(facts: Facts, probe: Probe) -> str:
    """From the digits counted: the exact DECIMAL where it is wide enough (the digits leave
    exponents out, so not where one may be written), else DOUBLE where every field is exactly
    a double, else text."""
    precision, scale = facts.decimal_digits() or (0, 0)
    if precision <= DUCKDB_MAX_PRECISION and not probe("exponent"):
        return f"DECIMAL({precision},{scale})"
    return "DOUBLE" if facts.fits_double else "VARCHAR"


def _datetime(dialect: str, facts: Facts, probe: Probe) -> str:
    if dialect == "sqlite" or probe("offset"):
        return TEXT_TYPES[dialect]  # a plain timestamp type drops an offset silently
    if facts.length > TIMESTAMP_LENGTH and probe("long_fraction"):
        return TEXT_TYPES[dialect]
    return {"postgres": "timestamp", "duckdb": "TIMESTAMP"}[dialect]


def _datetimetz(dialect: str, facts: Facts, probe: Probe) -> str:
    if dialect == "sqlite" or probe("plain_datetime"):
        return TEXT_TYPES[dialect]  # a plain value would take the session's zone
    if facts.length > TIMESTAMPTZ_LENGTH and probe("long_fraction"):
        return TEXT_TYPES[dialect]
    if dialect == "duckdb":
        return "VARCHAR" if probe("offset_without_seconds") else "TIMESTAMPTZ"
    return "timestamp with time zone"


def _time(dialect: str, facts: Facts, probe: Probe) -> str:
    if dialect == "sqlite" or probe("offset"):
        return TEXT_TYPES[dialect]
    if facts.length > TIME_LENGTH and probe("long_fraction"):
        return TEXT_TYPES[dialect]
    return {"postgres": "time", "duckdb": "TIME"}[dialect]


def _fixed(types: Mapping[str, str]):
    return lambda dialect, facts, probe: types[dialect]


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


def duckdb_number_warning(
    column: str, type_name: str, facts: Facts, patterns: PatternsArg = None
) -> str | None:
    """Why a numeric column is VARCHAR in DuckDB, when its digits are past any DECIMAL (or
    it may hold exponents) and a field is not exactly a double; None otherwise."""
    table = resolve_patterns(patterns)
    if type_name not in table or "duckdb" in table[type_name].sql:
        return None
    digits = facts.decimal_digits()
    if BUILT_IN.get(type_name) is not _decimal or digits is None:
        return None
    probe = functools.partial(_probe, tuple(table), type_name)
    if probe("nonfinite") or _duckdb_number(facts, probe) != TEXT_TYPES["duckdb"]:
        return None
    why = (
        "may hold exponents"
        if probe("exponent")
        else f"needs {digits[0]} digits, past DECIMAL's {DUCKDB_MAX_PRECISION}"
    )
    return (
        f"column {column!r} is VARCHAR in DuckDB, where it compares as text: it {why}, and "
        f"a {type_name} field is not exactly a double (longest field: {facts.length} characters)"
    )


def sql_type(
    type_name: str,
    dialect: str,
    max_length: int | None,
    patterns: PatternsArg = None,
    *,
    fits_double: bool | None = None,
    fits_int64: bool | None = None,
    int_digits: int | None = None,
    frac_digits: int | None = None,
    formatted: Mapping[str, Any] | None = None,
) -> str:
    """The column type for a suggested type; text for types the map does not know.
    `fits_double`/`fits_int64`: the pass's checks of the column (see numeric_checks), and
    `int_digits`/`frac_digits` the most digits of its checked fields each side of the point;
    None where unchecked, and then only the longest field decides. `formatted`: the format
    a load converts the column's fields by; a type with formats is text without one."""
    table = resolve_patterns(patterns)
    if type_name not in table:
        return TEXT_TYPES[dialect]
    type_spec = table[type_name]
    if type_spec.formats and formatted is None:
        # A load would take a formatted field as written: only text keeps it.
        return TEXT_TYPES[dialect]
    if dialect in type_spec.sql:
        return type_spec.sql[dialect]
    rule = BUILT_IN.get(type_name)
    facts = Facts(max_length or 0, fits_double, fits_int64, int_digits, frac_digits)
    if formatted is not None:
        # The pass checks numbers as written, not as the format reads them.
        facts = Facts(max_length or 0)
    probe = functools.partial(_probe, tuple(table), type_name)
    return rule(dialect, facts, probe) if rule else TEXT_TYPES[dialect]
