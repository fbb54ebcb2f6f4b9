"""Type names that a pattern table or a schema file gives a column: one type, as a column
definition takes it, never a clause of the definition after it."""

from __future__ import annotations

import re

# A type name: optionally schema-qualified words, then an optional parenthesised list
# of integers and an optional array mark. The words must be one word or one of
# MULTI_WORD_TYPES, and none of CONSTRAINT_WORDS (see `check_type_name`).
_WORD = r"[A-Za-z_][A-Za-z0-9_$]*"
TYPE_NAME = re.compile(
    rf"(?:{_WORD}\.)?(?P<words>{_WORD}(?: +{_WORD})*)"
    r"(?: *\( *\d+(?: *, *\d+)* *\))?(?: *\[\])?\Z"
)
# The types of several words that the dialects know; any other run of words would
# carry a clause of the column definition after its type.
MULTI_WORD_TYPES = frozenset(
    {
        "double precision",
        "timestamp with time zone",
        "timestamp without time zone",
        "time with time zone",
        "time without time zone",
        "character varying",
        "char varying",
        "bit varying",
        "national character",
        "national char",
        "national character varying",
        "national char varying",
    }
)
# Words that begin a column constraint. SQLite takes a column without a type, so even
# one of them alone ("unique", "null") would become a constraint; AS begins SQLite's
# and DuckDB's generated column ("as(1)").
CONSTRAINT_WORDS = frozenset(
    {"references", "unique", "default", "generated", "primary", "check", "constraint",
     "collate", "not", "null", "as"}
)  # fmt: skip


def check_type_name(type_name: str) -> str:
    """The type name if it is one type, as a column definition takes it; ValueError
    naming the type (and the constraint's word, for one) otherwise."""
    for word in re.split(r"[^A-Za-z0-9_$]+", type_name):
        if word.lower() in CONSTRAINT_WORDS:
            raise ValueError(
                f"{type_name!r} is not a type name: {word!r} begins a column constraint"
            )
    found = TYPE_NAME.match(type_name)
    if not found:
        raise ValueError(
            f"{type_name!r} is not a type name (a type, an optional schema, an optional"
            " list of integers in parentheses, an optional [])"
        )
    words = found["words"].split()
    if len(words) > 1 and " ".join(words).lower() not in MULTI_WORD_TYPES:
        raise ValueError(
            f"{type_name!r} is not a type name: of several words, only these are types:"
            f" {', '.join(sorted(MULTI_WORD_TYPES))}"
        )
    return type_name
