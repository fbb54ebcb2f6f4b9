"""Formats in pattern files: how a type's texts map to values, as people write them.

A type may list `formats` beside its expressions: a date or time pattern of strftime-style
directives ("%d/%m/%Y", or {"pattern": "%d.%m.%y", "pivot_year": 1950}), a number's
{"decimal_mark", "group", "currency", "currency_after", "currency_space", "percent"}, or a
boolean's {"true": [...], "false": [...]}; any of them may carry a "name". The engine derives
each format's expression, which joins the type's own, and reads its settings; several formats
of one type are alternatives that the pass decides between per column.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import quorle_ext


@dataclass(frozen=True)
class Format:
    """One format of a type: its name, and its settings as the engine reads them (lists
    as tuples, so that a format hashes)."""

    name: str
    settings: tuple[tuple[str, Any], ...]

    def as_dict(self) -> dict[str, Any]:
        """The format as a pattern file writes it, as the engine takes it."""
        return {
            key: list(value) if isinstance(value, tuple) else value for key, value in self.settings
        }

    @property
    def trait(self) -> str | None:
        """What a tie-breaking option matches: a date's order of day, month and year ("dmy",
        "mdy", "ymd"), or a number's decimal mark; None for other formats."""
        settings = dict(self.settings)
        if "pattern" in settings:
            return _date_order(settings["pattern"])
        if "true" in settings or "false" in settings:
            return None
        return str(settings.get("decimal_mark", "."))

    def expression(self) -> str:
        """The expression of the texts the format reads."""
        return quorle_ext._format_regex(self.as_dict())


def parse_format(entry: Any) -> Format:
    """A pattern file's format entry; ValueError says what is wrong with it."""
    if isinstance(entry, str):
        entry = {"pattern": entry}
    if not isinstance(entry, Mapping) or not all(isinstance(key, str) for key in entry):
        raise ValueError("a format is a date or time pattern, or an object of settings")
    name = entry.get("name", _default_name(entry))
    if not isinstance(name, str) or not name:
        raise ValueError("a format's name must be a non-empty string")
    settings = tuple(
        (key, tuple(value) if isinstance(value, list) else value)
        for key, value in entry.items()
        if key != "name"
    )
    found = Format(name, settings)
    found.expression()  # the engine checks the settings, naming the fault
    return found


# The directives of a date's day, month and year.
_DATE_PARTS = {"d": "d", "m": "m", "b": "m", "B": "m", "Y": "y", "y": "y"}


def _date_order(pattern: str) -> str | None:
    """The order of a pattern's day, month and year ("dmy"); None without all three."""
    order = ""
    for directive in re.findall(r"%(.)", pattern):
        part = _DATE_PARTS.get(directive)
        if part is not None and part not in order:
            order += part
    return order if len(order) == 3 else None


def _default_name(entry: Mapping[str, Any]) -> str:
    if "pattern" in entry:
        return str(entry["pattern"])
    if "true" in entry or "false" in entry:
        return "/".join(map(str, [*entry.get("true", ()), *entry.get("false", ())]))
    parts = [f"decimal mark {entry.get('decimal_mark', '.')!r}"]
    if entry.get("group"):
        parts.append(f"groups {entry['group']!r}")
    if entry.get("currency"):
        parts.append(f"currency {entry['currency']!r}")
    if entry.get("percent"):
        parts.append("percent")
    return ", ".join(parts)
