"""How the engine's tallies of two passes combine: over the ranges of one file, and over the
files of one header. Counts add, "every field fits" flags are ANDed, and per-position lists
line up by column."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping, Sequence
from itertools import chain
from operator import itemgetter
from typing import Any

# The per-file tallies of what a database may read differently from quorle: lines skipped,
# and blank lines read as rows.
FILE_TALLIES = ("blank_lines", "comment_lines", "skipped_lines", "blank_rows")


def add_counts(parts: Iterable[Mapping[str, Any] | None]) -> dict[str, Any]:
    """The sum of dicts of counts, nested dicts summed alike; keys in order of first sight."""
    known = [part for part in parts if part]
    keys = dict.fromkeys(chain.from_iterable(known))
    # Summed a key at a time over every part (a run of many small files sums thousands),
    # at C speed when every part has every key, as the files of one table do.
    every = all(len(part) == len(keys) for part in known)
    total: dict[str, Any] = {}
    for key in keys:
        values = (
            list(map(itemgetter(key), known))
            if every
            else [part[key] for part in known if key in part]
        )
        total[key] = add_counts(values) if isinstance(values[0], Mapping) else sum(values)
    return total


def by_position(combine: Callable, lists: Sequence[Sequence[Any]], width: int = 0) -> list[Any]:
    """combine() over each position's values; a list too short to reach a position gives
    nothing there."""
    width = max([width, *map(len, lists)])
    return [combine(values[i] for values in lists if i < len(values)) for i in range(width)]


def quirks(extras: Mapping[str, Any]) -> dict[str, Any]:
    """A pass's file-wide tallies: the reading quirks, the skipped lines and the blank lines
    read as rows, the rows shorter and longer than the header, the fields not UTF-8, and the
    fields of each missing-value string over all columns (so that one file's dict tells whether
    a database reads that file as quorle did)."""
    widths = extras["row_widths"]  # by width: 0 .. the header's, then "longer"
    return {
        **extras["quirks"],
        **{key: extras[key] for key in FILE_TALLIES},
        "short_rows": sum(widths[:-2]),
        "long_rows": widths[-1] if len(widths) >= 2 else 0,
        "invalid_utf8": sum(extras["invalid_utf8"]),
        "na_spellings": add_counts(extras["na_spellings"]),
    }


def merge_examples(
    parts: Iterable[Mapping[str, Sequence[Any]]], limit: int | None = None
) -> dict[str, list[Any]]:
    """Each type's distinct example texts over the parts, in their order, at most `limit`
    of them (None: as many as the fullest part kept)."""
    parts = list(parts)
    merged: dict[str, list[Any]] = {}
    for type_name in dict.fromkeys(t for part in parts for t in part):
        lists = [part.get(type_name, ()) for part in parts]
        most = max(map(len, lists)) if limit is None else limit
        merged[type_name] = list(dict.fromkeys(chain.from_iterable(lists)))[:most]
    return merged
