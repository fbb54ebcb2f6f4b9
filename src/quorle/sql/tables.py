"""A described table: its columns with their types per dialect, and how its files are read,
so that a load reads them as the pass did."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any


@dataclass(frozen=True)
class Column:
    name: str  # usable and distinct within its table
    header: str  # as in the file
    type: str  # the suggested type
    nullable: bool
    max_length: int | None
    counts: Mapping[str, int]
    sql: Mapping[str, str]  # dialect -> column type
    # The format its fields are written in, as a pattern file writes it with its "name"
    # (None: as the type's own expressions read them); a load converts them by it.
    format: Mapping[str, Any] | None = None
    # The most digits of a numeric field before its point and after it (None: not counted).
    int_digits: int | None = None
    frac_digits: int | None = None


@dataclass(frozen=True)
class Table:
    name: str
    path: str
    delimiter: str
    rows: int
    short_rows: int
    na_values: tuple[str, ...]
    columns: list[Column] = field(default_factory=list)
    # How the file's bytes were read, so that a load reads them the same way.
    encoding: str = "utf-8"
    compression: str = "plain"
    # How `path`'s rows were read (FileResult.reading): a load reads them the same way.
    reading: Mapping[str, Any] | None = None
    # Every file that loads into the table, with its delimiter: the first is `path`.
    members: tuple[tuple[str, str], ...] = ()
    warnings: tuple[str, ...] = ()  # about the names the table and its columns got
    # About the types one dialect gives (SQLite numbers kept as text), by dialect.
    dialect_warnings: Mapping[str, tuple[str, ...]] | None = None
    # Per member path, its size and modification time when a schema was written.
    stamps: Mapping[str, tuple[int | None, int | None]] | None = None
    # Per member path, its encoding where the members' differ (`--encoding auto`).
    encodings: Mapping[str, str] | None = None
    # What a database may read otherwise in `path` (FileResult.quirks; None: not known), and
    # the same per member, beside `members`.
    quirks: Mapping[str, Any] | None = None
    member_quirks: tuple[Mapping[str, Any] | None, ...] = ()
    # Per member path, how its rows were read where the members' differ (a title line above
    # the header of some only).
    readings: Mapping[str, Mapping[str, Any] | None] | None = None

    def warnings_for(self, dialect: str) -> tuple[str, ...]:
        """The warnings that concern statements in `dialect` ("json" describes them all)."""
        by_dialect = self.dialect_warnings or {}
        if dialect == "json":
            return (*self.warnings, *(w for ws in by_dialect.values() for w in ws))
        return (*self.warnings, *by_dialect.get(dialect, ()))

    def encoding_of(self, path: str) -> str:
        """The encoding a member file is read in."""
        return (self.encodings or {}).get(path, self.encoding)

    def reading_of(self, path: str) -> Mapping[str, Any]:
        """How a member file's rows are read ({}: a header first, nothing skipped)."""
        return (self.readings or {}).get(path, self.reading) or {}
