"""The types whose fields a pass checks as numbers, so that SQLite can store a column of them
as numbers: each field exactly a double (stored as REAL), or within 64 bits (INTEGER)."""

from __future__ import annotations

from .patterns import PatternsArg, resolve_patterns
from .suggest import widens_to

# The built-in types SQLite stores as REAL, and as INTEGER; the type maps follow these.
DOUBLE_TYPES = frozenset({"decimal", "number", "scientific"})
INTEGER_TYPES = frozenset({"integer"})


def numeric_checks(patterns: PatternsArg = None) -> tuple[list[str], list[str]]:
    """The types whose fields a pass checks, for SQLite's sake: (doubles, integers).

    Doubles: the types SQLite stores as REAL, and every type that widens to one, since
    a column of both holds its fields in one REAL column. Integers: those stored as INTEGER.
    Types with formats are not checked.
    """
    table = resolve_patterns(patterns)
    widening = table.widening()
    # A type with formats is written otherwise than a number's text: its checks would
    # read the wrong value.
    names = [t.name for t in table if not t.formats]
    real = {name for name in names if name in DOUBLE_TYPES}
    doubles = [name for name in names if widens_to(name, widening) & real]
    integers = [name for name in names if name in INTEGER_TYPES]
    return doubles, integers
