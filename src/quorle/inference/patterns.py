"""Pattern tables: the types a field can have, their expressions and how they widen.

A pattern file is a JSON object of type name -> either a list of expressions or an
object ``{"patterns": [...], "formats": [...], "widens_to": [...], "sql": {dialect: type}}``
(see formats.py for formats). Object order is kept: it is the order types are listed and
tried in.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from types import MappingProxyType
from typing import Any, Union

import quorle_ext

from .formats import Format, parse_format
from .type_names import check_type_name

# Names the engine gives its own counts; a table may not use them.
NA = "NA"
OTHER = "other"
RESERVED_NAMES = frozenset({NA, OTHER})

# What every type widens to when nothing narrower holds all of a column.
TEXT = "text"
# A type with no "widens_to" of its own widens as these names say.
IMPLIED_WIDENING: Mapping[str, tuple[str, ...]] = MappingProxyType({"integer": ("decimal",)})

DEFAULT_NA_VALUES: frozenset[str] = frozenset({"", "NA", "N/A", "null", "NULL", "None", "-"})
# Beside the package's top, where the wheel ships it.
DEFAULT_PATTERNS_PATH = Path(__file__).parent.parent / "default_patterns.json"

PatternsArg = Union["PatternTable", Mapping[str, Any], str, "os.PathLike[str]", None]


@dataclass(frozen=True)
class TypeSpec:
    """One type of a pattern table."""

    name: str
    # The expressions written for the type, then those of its formats.
    expressions: tuple[str, ...]
    widens_to: tuple[str, ...] = ()
    # Not part of the hash: a dict is not hashable.
    sql: dict[str, str] = field(default_factory=dict, hash=False)
    formats: tuple[Format, ...] = ()


class PatternTable:
    """The types of a table in their order, looked up by name."""

    def __init__(self, type_specs: tuple[TypeSpec, ...] | list[TypeSpec]) -> None:
        self._types = tuple(type_specs)
        self._by_name = {type_spec.name: type_spec for type_spec in self._types}
        if len(self._by_name) != len(self._types):
            raise ValueError("a type name appears twice in the pattern table")

    def __iter__(self) -> Iterator[TypeSpec]:
        return iter(self._types)

    def __len__(self) -> int:
        return len(self._types)

    def __contains__(self, name: object) -> bool:
        return name in self._by_name

    def __getitem__(self, name: str) -> TypeSpec:
        return self._by_name[name]

    def __eq__(self, other: object) -> bool:
        return isinstance(other, PatternTable) and self._types == other._types

    def __repr__(self) -> str:
        return f"PatternTable({list(self._types)!r})"

    def names(self) -> list[str]:
        return [type_spec.name for type_spec in self._types]

    def sources(self) -> dict[str, list[str]]:
        """The table as the engine takes it."""
        return {type_spec.name: list(type_spec.expressions) for type_spec in self._types}

    def widening(self) -> dict[str, tuple[str, ...]]:
        return {type_spec.name: type_spec.widens_to for type_spec in self._types}


def _string_list(value: Any, what: str) -> tuple[str, ...]:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise ValueError(f"{what} must be a list of strings")
    return tuple(value)


def _type_spec(name: str, entry: Any) -> TypeSpec:
    if not isinstance(name, str) or not name:
        raise ValueError("a type name must be a non-empty string")
    if name in RESERVED_NAMES:
        raise ValueError(f"type {name!r}: the name is reserved for the engine's own counts")
    if isinstance(entry, list):
        entry = {"patterns": entry}
    if not isinstance(entry, Mapping):
        raise ValueError(f"type {name!r}: expected a list of expressions or an object")
    unknown = set(entry) - {"patterns", "formats", "widens_to", "sql"}
    if unknown:
        raise ValueError(f"type {name!r}: unknown keys {sorted(unknown)}")
    formats = _formats(name, entry.get("formats", []))
    # A type with formats needs no expression of its own.
    written = entry.get("patterns", [] if formats else None)
    expressions = _string_list(written, f"type {name!r}: patterns")
    expressions += tuple(f.expression() for f in formats)
    if "widens_to" in entry:
        widens_to = _string_list(entry["widens_to"], f"type {name!r}: widens_to")
    else:
        widens_to = IMPLIED_WIDENING.get(name, ())
    sql = entry.get("sql", {})
    if not isinstance(sql, Mapping) or not all(
        isinstance(k, str) and isinstance(v, str) for k, v in sql.items()
    ):
        raise ValueError(f"type {name!r}: sql must map dialect names to type names")
    for dialect, type_name in sql.items():
        try:
            check_type_name(type_name)
        except ValueError as e:
            raise ValueError(f"type {name!r}: sql type for {dialect}: {e}") from None
    return TypeSpec(name, expressions, widens_to, dict(sql), formats)


def _formats(name: str, entries: Any) -> tuple[Format, ...]:
    if not isinstance(entries, list):
        raise ValueError(f"type {name!r}: formats must be a list")
    formats = []
    for entry in entries:
        try:
            formats.append(parse_format(entry))
        except ValueError as e:
            raise ValueError(f"type {name!r}: format {entry!r}: {e}") from None
    if len({f.name for f in formats}) != len(formats):
        raise ValueError(f"type {name!r}: two formats share a name")
    return tuple(formats)


def _check_compiles(type_spec: TypeSpec) -> None:
    # The engine compiles with its own regex library; one expression at a time
    # names the culprit.
    for expression in type_spec.expressions:
        try:
            quorle_ext._check_expression(expression)
        except RuntimeError as e:
            message = " ".join(str(e).split())
            raise ValueError(
                f"type {type_spec.name!r}: expression {expression!r} does not compile: {message}"
            ) from None


def parse_patterns(table: Mapping[str, Any]) -> PatternTable:
    """Builds a table from a pattern file's object; ValueError names the type and expression."""
    if not isinstance(table, Mapping):
        raise ValueError("expected an object of type name -> expressions")
    type_specs = [_type_spec(name, entry) for name, entry in table.items()]
    for type_spec in type_specs:
        _check_compiles(type_spec)
    return PatternTable(type_specs)


def load_patterns(path: str | os.PathLike[str]) -> PatternTable:
    """Reads a pattern file: OSError if unreadable, ValueError naming the path if wrong."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        return parse_patterns(json.loads(text))
    except ValueError as e:
        raise ValueError(f"pattern file {os.fspath(path)}: {e}") from None


def resolve_patterns(patterns: PatternsArg) -> PatternTable:
    """The table an `infer` argument stands for: None is the default table."""
    if patterns is None:
        return DEFAULT_PATTERNS
    if isinstance(patterns, PatternTable):
        return patterns
    if isinstance(patterns, (str, os.PathLike)):
        return load_patterns(patterns)
    return parse_patterns(patterns)


DEFAULT_PATTERNS: PatternTable = load_patterns(DEFAULT_PATTERNS_PATH)
