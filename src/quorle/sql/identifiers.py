"""SQL identifiers and literals, and the names tables and columns get.

Every name a statement holds goes through `quote`, and every name quorle picks
through `Namer`: names are cleaned of control characters, cut to the shortest
limit of the dialects (Postgres' 63 bytes) at a character boundary, and kept
distinct without regard to case. So a schema names the same columns in every
database, and no two names can become one in any of them.
"""

from __future__ import annotations

import os
import re
import unicodedata
from collections.abc import Iterable, Sequence
from pathlib import Path

from ..engine import archives

SQL_DIALECTS = ("sqlite", "postgres", "duckdb")
# Postgres cuts longer identifiers silently; the other two have no such limit.
MAX_NAME_BYTES = 63
# Control characters, unpaired surrogates (from bytes of a name that are not
# UTF-8) and line or paragraph separators: a client may end a line at any of them.
_REPLACED_CATEGORIES = frozenset({"Cc", "Cs", "Zl", "Zp"})
REPLACEMENT = "_"


def quote(identifier: str, dialect: str) -> str:
    """The identifier as `dialect` reads it: in double quotes, a quote doubled.

    ValueError for a character no client may see inside a name (see `clean`) or
    a name longer than the dialect keeps: names reach here through `Namer`."""
    if dialect not in SQL_DIALECTS:
        raise ValueError(f"unknown dialect {dialect!r}")
    if clean(identifier) != identifier or not identifier:
        raise ValueError(f"not a usable identifier: {identifier!r}")
    if dialect == "postgres" and len(identifier.encode("utf-8")) > MAX_NAME_BYTES:
        raise ValueError(f"identifier longer than {MAX_NAME_BYTES} bytes: {identifier!r}")
    return '"' + identifier.replace('"', '""') + '"'


def literal(text: str) -> str:
    """A string literal for all three dialects (standard quoting, no backslash escapes)."""
    if "\0" in text:
        raise ValueError(f"a NUL character cannot be part of a string literal: {text!r}")
    return "'" + text.replace("'", "''") + "'"


def psql_literal(text: str) -> str:
    """A quoted argument of psql's \\copy, which ends at the line's end: a quote
    doubled, no backslash escapes, no variables; ValueError for a line end or NUL."""
    if clean(text) != text:
        raise ValueError(f"{text!r} holds a control character or line end")
    return "'" + text.replace("'", "''") + "'"


def clean(text: str) -> str:
    """`text` with each control character, unpaired surrogate or line separator replaced."""
    return "".join(
        REPLACEMENT if unicodedata.category(ch) in _REPLACED_CATEGORIES else ch for ch in text
    )


def cut(text: str, limit: int = MAX_NAME_BYTES) -> str:
    """The longest start of `text` of at most `limit` bytes in UTF-8, whole characters only."""
    return text.encode("utf-8")[:limit].decode("utf-8", "ignore")


def fold(name: str) -> str:
    """The key two names clash under: SQLite and DuckDB compare names without case."""
    return name.casefold()


class Namer:
    """Hands out names distinct from every name it gave before, after cutting and folding.

    A name is cleaned and cut to MAX_NAME_BYTES; one that clashes with an earlier
    name gets the first free suffix _2, _3 ..., its base cut short so that the
    whole still fits."""

    def __init__(self, taken: Iterable[str] = ()) -> None:
        self._used = {fold(name) for name in taken}

    def name(self, wanted: str) -> str:
        base = cut(clean(wanted))
        unique, k = base, 1
        while fold(unique) in self._used:
            k += 1
            suffix = f"_{k}"
            unique = cut(base, MAX_NAME_BYTES - len(suffix)) + suffix
        self._used.add(fold(unique))
        return unique


def table_name(path: str | os.PathLike[str]) -> str:
    """The file's stem made an identifier: letters, digits and '_', no leading digit. A zip
    member's table is named after the member."""
    file = os.fsdecode(path)
    name = re.sub(r"[^0-9A-Za-z_]", "_", Path(archives.locate(file)[1] or file).stem)
    return cut(name if name and not name[0].isdigit() else "t_" + name)


def table_names(paths: Sequence[str | os.PathLike[str]]) -> list[str]:
    """A distinct table name per path of one run, in order (`a-b.csv` and `a_b.csv`
    become `a_b` and `a_b_2`)."""
    namer = Namer()
    return [namer.name(table_name(path)) for path in paths]


def column_names(headers: Sequence[str]) -> list[str]:
    """Usable, distinct column names. A header's first use keeps it (cleaned and
    cut); an empty one becomes column_N (its position), a clashing one gets _2,
    _3... Databases compare names without case, so this does too."""
    firsts: dict[str, int] = {}
    for i, header in enumerate(headers):
        if header.strip():
            firsts.setdefault(fold(cut(clean(header))), i)
    namer = Namer()
    out: list[str | None] = [None] * len(headers)
    for i in sorted(firsts.values()):
        out[i] = namer.name(headers[i])
    for i, header in enumerate(headers):
        if out[i] is None:
            out[i] = namer.name(header if header.strip() else f"column_{i + 1}")
    return [name for name in out if name is not None]


def name_warnings(headers: Sequence[str], names: Sequence[str]) -> list[str]:
    """A warning per header cell that holds a character no name may hold, naming the
    cell and the name it got."""
    return [
        f"column {i} ({header!r}): control characters in the name are replaced, giving {name!r}"
        for i, (header, name) in enumerate(zip(headers, names, strict=True), start=1)
        if clean(header) != header
    ]
