"""Rows of field bytes made into Python values for SQLite: numbers as numbers.

(Postgres and DuckDB take the engine's own encoding, `quorle_ext._RowEncoder`.)
Input rows are already as wide as the table, a padded field being None; a
missing value becomes None too. A field that does not convert raises FieldError
naming the row (index within the batch) and the column."""

from __future__ import annotations

import re
from collections.abc import Callable, Sequence
from typing import Any

Row = Sequence[bytes | None]

_INTEGER = re.compile(rb"[+-]?[0-9]+\Z")
_DECIMAL = re.compile(rb"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
# Bytes shown of a field that is not UTF-8: the first bad byte and the one after it.
SHOWN_BYTES = 2


class FieldError(ValueError):
    """`not_utf8` holds the field when it failed for not being UTF-8, the same failure
    every database reports alike (see `not_utf8`)."""

    def __init__(self, row: int, column: int, message: str, not_utf8: bytes | None = None) -> None:
        super().__init__(message)
        self.row = row
        self.column = column
        self.not_utf8 = not_utf8


class NotUtf8(ValueError):
    """A text field that is not UTF-8; `field` holds its bytes."""

    def __init__(self, field: bytes) -> None:
        super().__init__(not_utf8(field))
        self.field = field


def not_utf8(field: bytes | None) -> str:
    """Why a field is refused, its first bad bytes shown as \\xNN (None: not known)."""
    try:
        (field or b"").decode("utf-8")
    except UnicodeDecodeError as e:
        shown = e.object[e.start : e.start + SHOWN_BYTES]
        escaped = "".join(f"\\x{byte:02x}" for byte in shown)
        return f"not valid UTF-8 ({'bytes' if len(shown) > 1 else 'byte'} {escaped})"
    return "not valid UTF-8"


def _integer(field: bytes) -> int:
    if not _INTEGER.match(field):
        raise ValueError(f"{field!r} is not an integer")
    value = int(field)
    if not INT64_MIN <= value <= INT64_MAX:
        raise ValueError(f"{field!r} does not fit in 64 bits")
    return value


def _real(field: bytes) -> float:
    if not _DECIMAL.match(field):
        raise ValueError(f"{field!r} is not a decimal number")
    return float(field)  # correctly rounded, unlike SQLite's own conversion


def _text(field: bytes) -> str:
    try:
        return field.decode("utf-8")
    except UnicodeDecodeError:
        raise NotUtf8(field) from None


def sqlite_converter(sql_type: str) -> Callable[[bytes], Any]:
    """The conversion for a column of a STRICT table, by the declared type's affinity."""
    upper = sql_type.upper()
    if "INT" in upper:
        return _integer
    if any(word in upper for word in ("REAL", "FLOA", "DOUB")):
        return _real
    return _text


# The conversions of the column pass, where they differ: the same result without the
# message, which `_locate` then gives.
_QUICK: dict[Callable[[bytes], Any], Callable[[bytes], Any]] = {_text: bytes.decode}


def sqlite_rows(
    rows: Sequence[Row], converters: Sequence[Callable[[bytes], Any]], na: frozenset[bytes]
) -> list[tuple]:
    """Python values to bind: numbers as numbers, texts as str, a missing value None.

    Converted a column at a time, which costs half of a generator per row; after a
    failure the rows are searched in order, so the first field that fails is named."""
    if not rows:
        return []
    try:
        columns = [
            [None if f is None or f in na else convert(f) for f in column]
            for column, convert in zip(
                zip(*rows, strict=True), [_QUICK.get(c, c) for c in converters], strict=True
            )
        ]
    except ValueError:
        raise _locate(rows, converters, na) from None
    return list(zip(*columns, strict=True))


def _locate(
    rows: Sequence[Row], converters: Sequence[Callable[[bytes], Any]], na: frozenset[bytes]
) -> FieldError:
    for index, row in enumerate(rows):
        for column, (field, convert) in enumerate(zip(row, converters, strict=True)):
            if field is None or field in na:
                continue
            try:
                convert(field)
            except NotUtf8 as e:
                return FieldError(index, column, str(e), e.field)
            except ValueError as e:
                return FieldError(index, column, str(e))
    return FieldError(0, 0, "a field could not be converted")
