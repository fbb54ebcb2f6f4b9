"""A table description written before (`quorle schema --dialect json`), read
back for `quorle load --schema`: every name and type checked, every file
checked unchanged since."""

from __future__ import annotations

import dataclasses
import json
import os
from collections.abc import Mapping
from typing import Any

from ..engine.sources import AUTO, check_encoding
from ..inference.formats import parse_format
from ..inference.options import check_comment, check_skip_lines
from ..inference.type_names import check_type_name
from ..sql.identifiers import Namer, quote
from ..sql.statements import file_stamp
from ..sql.tables import Column, Table
from .load_errors import LoadError, LoadUsageError

STDIN = "-"


def schema_document(schema: str | os.PathLike[str] | Mapping[str, Any]) -> Mapping[str, Any]:
    if isinstance(schema, Mapping):
        return schema
    try:
        with open(schema, encoding="utf-8") as f:
            document = json.load(f)
    except OSError as e:
        raise LoadUsageError(f"schema {os.fsdecode(schema)}: {e.strerror or e}") from None
    except ValueError as e:
        raise LoadUsageError(f"schema {os.fsdecode(schema)}: not JSON: {e}") from None
    if not isinstance(document, Mapping):
        raise LoadUsageError(f"schema {os.fsdecode(schema)}: expected an object")
    return document


def file_list(paths: Any) -> list[str] | None:
    if paths is None:
        return None
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    return [os.fsdecode(p) for p in paths]


def tables_from_schema(
    document: Mapping[str, Any], table: str | None, files: list[str] | None = None
) -> list[Table]:
    """The tables a JSON description names, every name and type checked, every file
    checked unchanged since; LoadUsageError for a description quorle did not write.
    `files`, when given, must be the description's files, or "-" alone for its one
    file, read from standard input instead."""
    try:
        tables = [_table_from_json(entry) for entry in document["tables"]]
    except (KeyError, TypeError, ValueError) as e:
        raise LoadUsageError(f"schema: not a description quorle writes ({e})") from None
    if table is not None:
        if len(tables) != 1:
            raise LoadUsageError(f"a table name is for one table, and the schema has {len(tables)}")
        tables = [_renamed(tables[0], table)]
    tables = _bind_files(tables, files)
    for t in tables:
        for path, _ in t.members:
            _check_unchanged(path, t)
    return tables


def _bind_files(tables: list[Table], files: list[str] | None) -> list[Table]:
    members = [path for t in tables for path, _ in t.members]
    if files is None:
        return tables
    if files == [STDIN]:
        if len(members) != 1:
            raise LoadUsageError(f"- stands for one file, and the schema has {len(members)}")
        (t,) = tables
        return [dataclasses.replace(t, path=STDIN, members=((STDIN, t.delimiter),))]
    if sorted(map(os.path.abspath, files)) != sorted(map(os.path.abspath, members)):
        listed = ", ".join(members)
        raise LoadUsageError(f"the files named are not the schema's files ({listed})")
    return tables


def _renamed(t: Table, name: str) -> Table:
    return dataclasses.replace(t, name=Namer().name(name))


def _table_from_json(entry: Mapping[str, Any]) -> Table:
    # A column written without its header cell was named after it, or after an empty cell.
    columns = [
        Column(
            name=c["name"], header=c.get("header", c["name"]), type=c["type"],
            nullable=bool(c["nullable"]),
            max_length=c.get("max_length"), counts=dict(c.get("counts", {})),
            sql={d: check_type_name(s) for d, s in c["sql"].items()},
            format=_format(c.get("format")),
            int_digits=_digits(c.get("int_digits")), frac_digits=_digits(c.get("frac_digits")),
        )
        for c in entry["columns"]
    ]  # fmt: skip
    for name in [entry["name"], *(c.name for c in columns)]:
        for dialect in ("sqlite", "duckdb", "postgres"):
            quote(name, dialect)  # ValueError for a name no statement may hold
    # A compressed file is told by its first bytes again; an encoding is taken as written.
    encoding = _encoding(entry.get("encoding", "utf-8"))
    files = entry["files"]
    encodings = {f["path"]: _encoding(f.get("encoding", encoding)) for f in files}
    reading = _reading(entry)
    # A description written before files had their own reading has the table's for each.
    readings = {f["path"]: _reading({**reading, **f}) for f in files}
    members = tuple((f["path"], f["delimiter"]) for f in files)
    stamps = {f["path"]: (f.get("size"), f.get("mtime_ns")) for f in files}
    return Table(
        name=entry["name"], path=members[0][0], delimiter=members[0][1], rows=int(entry["rows"]),
        short_rows=0, na_values=tuple(entry["na_values"]), columns=columns, members=members,
        stamps=stamps, reading=reading, encoding=encoding,
        compression=entry.get("compression", "plain"), encodings=encodings, readings=readings,
    )  # fmt: skip


def _digits(count: Any) -> int | None:
    """A column's digit count as a description records it; None where it was not counted."""
    if count is None:
        return None
    if isinstance(count, bool) or not isinstance(count, int) or count < 0:
        raise ValueError(f"a digit count must be a whole number, not {count!r}")
    return count


def _encoding(name: Any) -> str:
    """An encoding a description names: the one the file was found in, never "auto"."""
    if name == AUTO:
        raise ValueError("encoding 'auto': a description names the encoding the file was read in")
    return check_encoding(name)


def _reading(entry: Mapping[str, Any]) -> dict[str, Any]:
    """How the rows were read (of a table, or of a file with its table's settings beside it),
    each setting checked; a description written before these settings existed was read with
    a header and nothing skipped."""
    header = entry.get("header", True)
    blank = entry.get("skip_blank_lines", False)
    if not isinstance(header, bool) or not isinstance(blank, bool):
        raise ValueError("header and skip_blank_lines must be true or false")
    return {
        "header": header,
        "skip_lines": check_skip_lines(entry.get("skip_lines", 0)),
        "comment": check_comment(entry.get("comment"), entry["delimiter"]),
        "skip_blank_lines": blank,
    }


def _check_unchanged(path: str, t: Table) -> None:
    size, mtime = (t.stamps or {}).get(path, (None, None))
    if path == STDIN or size is None:
        return  # read once: nothing to compare
    now = file_stamp(path)
    if now["size"] is None:
        raise LoadError(f"{path}: not found, or not a regular file, since the schema was written")
    if (now["size"], now["mtime_ns"]) != (size, mtime):
        raise LoadError(
            f"{path}: changed since the schema was written (size {size} then,"
            f" {now['size']} now); infer it again"
        )


def _format(written: Any) -> dict[str, Any] | None:
    """A column's format as the schema file writes it; ValueError if it is not one."""
    if written is None:
        return None
    if not isinstance(written, Mapping) or not isinstance(written.get("name"), str):
        raise ValueError("a column's format must be an object with a name")
    parse_format(dict(written))
    return dict(written)
