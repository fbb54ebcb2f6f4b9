"""How `quorle infer` shows its results: tables for people, CSV for programs."""

from __future__ import annotations

import csv
import json
import re
import sys
from typing import Any

from ..inference import hygiene
from ..inference.groups import Group
from ..inference.patterns import NA, OTHER
from ..inference.result import ColumnResult, FileResult
from ..loading.loader import LoadedTable
from ..loading.plan import Plan, shown_path


def counted(n: int, noun: str) -> str:
    """`n` and the noun, plural unless `n` is 1."""
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def shown_text(text: str) -> str:
    """An example text in quotes as it reads: printable characters as they are, others
    escaped so that a line end or a tab cannot break the table."""
    escaped = "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in text)
    return f"'{escaped}'"


def format_duration(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def format_counts(counts: dict[str, int]) -> str:
    nonzero = sorted((item for item in counts.items() if item[1]), key=lambda i: (-i[1], i[0]))
    return ", ".join(f"{name} {n}" for name, n in nonzero)


def delimiter_note(path: str, result: FileResult, asked: str) -> str:
    if asked != hygiene.AUTO:
        return f"delimiter {result.delimiter!r}"
    return f"delimiter {result.delimiter!r} (detected)"


def table_report(result: FileResult, seconds: float | None, asked: str, extras: bool) -> str:
    """`seconds` None: a file of many, which is not looked at again here (it may live on
    the machines of a cluster only) and has no time of its own."""
    if seconds is None:
        how = f"delimiter {result.delimiter!r}"
    else:
        note = delimiter_note(result.path, result, asked)
        how = f"{note}, inferred in {format_duration(seconds)}"
    rows = counted(result.rows, "data row")
    path = hygiene.printable(result.path)
    heading = f"{path}: {rows}, {counted(len(result.columns), 'column')}, {how}"
    return heading + "\n\n" + column_table(result.columns, extras)


# Paths named in the heading of a group; the rest are counted.
GROUP_PATHS_SHOWN = 3


def group_report(group: Group, extras: bool) -> str:
    paths = ", ".join(map(hygiene.printable, group.paths[:GROUP_PATHS_SHOWN]))
    if len(group.paths) > GROUP_PATHS_SHOWN:
        paths += f" and {len(group.paths) - GROUP_PATHS_SHOWN} more"
    heading = (
        f"{len(group.paths)} files with the same {counted(len(group.header), 'column')},"
        f" {counted(group.rows, 'data row')} in all: {paths}"
    )
    return heading + "\n\n" + column_table(group.columns, extras)


def spellings_text(spellings: dict[str, int]) -> str:
    """Missing-value spellings with their counts, the most frequent first."""
    ordered = sorted(spellings.items(), key=lambda item: (-item[1], item[0]))
    return ", ".join(f"{shown_text(text)} {n}" for text, n in ordered)


def ruled_out_notes(formats: dict[str, Any] | None) -> list[str]:
    """For each type's formats, where each one that does not read the column fell."""
    notes = []
    for type_name, found in (formats or {}).items():
        for name, first in found["ruled_out"].items():
            line = "?" if first["line"] is None else f"{first['line']:,}"
            place = f"{first['path']}: line {line}" if "path" in first else f"line {line}"
            notes.append(f"{type_name} not {name}: {place} ({shown_text(first['text'])})")
    return notes


def column_table(columns: list[ColumnResult], extras: bool) -> str:
    titles = ["column", "suggested", "counts"] + (["bytes", "short"] if extras else []) + ["notes"]
    table = [titles]
    for column in columns:
        notes = list(column.notes)
        cells = [column.name, column.suggested, format_counts(column.counts)]
        if extras:
            cells += [str(column.max_length), str(column.short_rows)]
            for kind, texts in (column.examples or {}).items():
                notes.append(f"{kind} e.g. " + ", ".join(map(shown_text, texts)))
            if column.na_spellings:
                notes.append(f"{NA} as " + spellings_text(column.na_spellings))
            notes += ruled_out_notes(column.formats)
        table.append(cells + ["; ".join(notes)])
    widths = [max(len(row[i]) for row in table) for i in range(len(titles) - 1)]
    lines = []
    for row in table:
        cells = [cell.ljust(width) for cell, width in zip(row, widths, strict=False)] + [row[-1]]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


class CsvReport:
    """One row per column of every file, under one header."""

    def __init__(self, extras: bool) -> None:
        self.writer = csv.writer(sys.stdout, lineterminator="\n")
        self.extras = extras
        self.kinds: list[str] | None = None

    def write(self, result: FileResult) -> None:
        if self.kinds is None:
            self.kinds = list(result.columns[0].counts) if result.columns else [OTHER, NA]
            titles = ["path", "column", "suggested", *self.kinds, "max_length", "short_rows"]
            extra_titles = ["examples", "na_spellings"] if self.extras else []
            self.writer.writerow([*titles, "notes", *extra_titles])
        for column in result.columns:
            row: list[object] = [hygiene.printable(result.path), column.name, column.suggested]
            row += [column.counts.get(kind, 0) for kind in self.kinds]
            row += [column.max_length, column.short_rows, "; ".join(column.notes)]
            if self.extras:
                row.append(json.dumps(column.examples, ensure_ascii=False))
                row.append(json.dumps(column.na_spellings, ensure_ascii=False))
            self.writer.writerow(row)


# A lone surrogate stands for a byte of a path that is not UTF-8.
SURROGATE = re.compile(r"[\ud800-\udfff]")


def json_line(value: Any) -> str:
    """JSON in UTF-8 whatever the paths hold: a lone surrogate is written as its \\u escape,
    so that a reader's os.fsencode gets the path's bytes back."""
    text = json.dumps(value, ensure_ascii=False)
    return SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


# ---- quorle load ----


def plan_text(plan: Plan) -> str:
    """The plan and its statements, for --dry-run."""
    target = plan.target
    lines = [f"into {target.display} ({target.dialect}), if a table exists: {plan.if_exists}"]
    for t in plan.tables:
        files = ", ".join(shown_path(path) for path, _ in t.members)
        lines.append(f"table {t.name}: {t.rows} rows from {files}")
    return "\n".join(lines) + "\n\n" + "\n\n".join(plan.statements())


def loaded_text(tables: list[LoadedTable], seconds: float, into: str) -> str:
    lines = []
    for t in tables:
        plural = "" if t.rows == 1 else "s"
        lines.append(f"{t.name}: {t.rows} row{plural} from {', '.join(t.files)}")
    lines.append(f"loaded into {into} in {seconds:.2f} s")
    return "\n".join(lines)
