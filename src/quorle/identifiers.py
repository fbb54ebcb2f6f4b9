"""SQL identifiers and literals, and the names tables and columns get."""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from pathlib import Path


def quote(identifier: str) -> str:
    return '"' + identifier.replace('"', '""') + '"'


def literal(text: str) -> str:
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
