"""The statements for a described table: CREATE TABLE, load statements, JSON."""

from __future__ import annotations

import os
import stat
from collections.abc import Callable
from typing import Any

from ..engine import archives
from ..engine.session import new_session
from ..engine.sources import STDIN_NAME
from ..inference.hygiene import printable
from ..inference.patterns import NA
from .copy_quirks import (
    DUCKDB_RULES,
    POSTGRES_RULES,
    duckdb_blank_rows,
    duckdb_options,
    first_cause,
)
from .identifiers import literal, psql_literal, quote
from .tables import Table

# Rows between emptyings of the value cache in the pass that looks for
# missing-value strings: it bounds that pass's memory.
CACHE_WINDOW = 100000


def create_table(t: Table, dialect: str) -> str:
    lines = [
        f"  {quote(c.name, dialect)} {c.sql[dialect]}{'' if c.nullable else ' NOT NULL'}"
        for c in t.columns
    ]
    # STRICT makes SQLite refuse a value its column type cannot hold.
    suffix = " STRICT" if dialect == "sqlite" else ""
    return f"CREATE TABLE {quote(t.name, dialect)} (\n" + ",\n".join(lines) + f"\n){suffix};"


def _source(t: Table) -> str:
    # A server or a shell started elsewhere must find the same file.
    return literal(os.path.abspath(t.path))


def _quirks(t: Table) -> dict[str, Any]:
    """The file's quirks; when they are not known, only its short rows."""
    return dict(t.quirks) if t.quirks is not None else {"short_rows": t.short_rows}


def _not_loadable(cause: str) -> str:
    return (
        f"-- Not loadable with COPY: {cause}; use quorle load, which streams values and has"
        " none of these limits."
    )


def _duckdb_load(t: Table) -> str:
    if not t.na_values:
        return "-- No missing-value strings: DuckDB's COPY would read empty fields as NULL."
    q = _quirks(t)
    cause = first_cause(q, DUCKDB_RULES) or duckdb_blank_rows(
        t.path, t.delimiter, len(t.columns), q, set(t.na_values)
    )
    if cause:
        return _not_loadable(cause)
    nulls = ", ".join(literal(v) for v in t.na_values)
    # The table gives the types; detection would only misread short rows.
    return (
        f"COPY {quote(t.name, 'duckdb')} FROM {_source(t)} (FORMAT csv, HEADER true, "
        f"DELIMITER {literal(t.delimiter)}, QUOTE '\"', ESCAPE '\"', NULLSTR [{nulls}], "
        f"AUTO_DETECT false{duckdb_options(q)});"
    )


def held_missing_texts(t: Table) -> set[str] | None:
    """The missing-value strings the file holds: as its pass counted them, or for a result
    saved without them, from a pass of their own; None when the input cannot be read again."""
    spellings = (t.quirks or {}).get("na_spellings")
    if spellings is not None:
        return set(spellings)
    if not os.path.isfile(t.path):
        return None  # a pipe is gone after the first pass; a second one could wait forever
    return missing_texts(t)


def missing_texts(t: Table) -> set[str]:
    """The missing-value strings the file holds: a pass with no types that keeps
    as many example texts per column as there are strings."""
    inf = new_session(
        t.path, delimiter=t.delimiter, na_values=t.na_values, cache_window=CACHE_WINDOW
    )
    inf._set_extras(len(t.na_values))
    inf.infer_types()
    return {
        text.decode("utf-8") for column in inf._extras()["examples"] for text in column.get(NA, [])
    }


def _postgres_null(t: Table) -> tuple[str | None, str]:
    """The one NULL string COPY can take, or None and why there is none."""
    if not t.na_values:
        return (
            None,
            "no missing-value strings are set, and COPY reads unquoted empty fields as NULL",
        )
    if not any(c.counts.get(NA, 0) for c in t.columns):
        # No field equals a missing-value string unless it was counted as
        # missing, so any of them is safe when none occurs.
        return t.na_values[0], ""
    seen = set(t.na_values) if len(t.na_values) == 1 else held_missing_texts(t)
    if seen is None:
        return None, "the input cannot be read again to find which missing-value strings it holds"
    if len(seen) > 1:
        listed = ", ".join(literal(v) for v in sorted(seen))
        return (
            None,
            f"the missing values are several strings ({listed}), COPY takes one NULL string",
        )
    # A file of a group may hold none of the strings that its siblings hold.
    return (seen.pop() if seen else t.na_values[0]), ""


def _postgres_load(t: Table) -> str:
    return _postgres_copy(t, psql=False)


def _psql_load(t: Table) -> str:
    return _postgres_copy(t, psql=True)


def _postgres_copy(t: Table, psql: bool) -> str:
    """Server-side COPY (the server reads the file: a superuser's right), or psql's
    client-side \\copy, which any role may run."""
    cause = first_cause(_quirks(t), POSTGRES_RULES)
    if cause:
        return _not_loadable(cause)
    null, why = _postgres_null(t)
    if null is None:
        return f"-- Not loadable with one COPY: {why}."
    nullable = [quote(c.name, "postgres") for c in t.columns if c.nullable]
    # FORCE_NULL: a quoted missing-value string is missing too, as in the counts.
    force = f", FORCE_NULL ({', '.join(nullable)})" if nullable else ""
    options = (
        f"WITH (FORMAT csv, HEADER true, DELIMITER {literal(t.delimiter)}, QUOTE '\"',"
        f" NULL {literal(null)}{force})"
    )
    if not psql:
        return f"COPY {quote(t.name, 'postgres')} FROM {_source(t)} {options};"
    try:
        source = psql_literal(os.path.abspath(t.path))
    except ValueError as e:
        return f"-- Not loadable with \\copy: {e}."
    # psql reads the rest of the line as the command: no semicolon, no line end inside.
    return f"\\copy {quote(t.name, 'postgres')} FROM {source} {options}"


def _breaks_copy(value: str, delimiter: str) -> str:
    """What in a missing-value string a COPY would read as the file's own syntax ("": none)."""
    for what, chars in (("the delimiter", delimiter), ("a quote", '"'), ("a line end", "\r\n")):
        if any(ch in value for ch in chars):
            return what
    return ""


def _named(loader: Callable[[Table], str]) -> Callable[[Table], str]:
    """`loader`, for a file whose path a statement can name: UTF-8 text."""

    def load(t: Table) -> str:
        try:
            t.path.encode("utf-8")
        except UnicodeEncodeError:
            return (
                f"-- Not loadable with COPY: the path {printable(t.path)} is not UTF-8,"
                " and a statement can only name a path in UTF-8."
            )
        unread = _read_otherwise(t)
        if unread:
            # COPY would read other bytes than the pass did, and load them wrong.
            return (
                f"-- Not loadable with COPY: {unread}, which COPY does not read as quorle"
                " did; use quorle load, which reads it as the pass did."
            )
        return loader(t)

    return load


def _read_otherwise(t: Table) -> str:
    """Why a load statement cannot read the file as the pass did ("" when it can)."""
    for value in t.na_values:
        held = _breaks_copy(value, t.delimiter)
        if held:
            return f"the missing-value string '{printable(value)}' holds {held}"
    if t.path == STDIN_NAME:
        return "the input was read from stdin"
    if t.compression != "plain":
        return f"the file is {t.compression}-compressed"
    if t.encoding != "utf-8":
        return f"the file is in {t.encoding}"
    written = next((c for c in t.columns if c.format is not None), None)
    if written is not None:
        return f"column {printable(written.header)!r} is written as {written.format['name']}"
    reading = t.reading or {}
    if not reading.get("header", True) or reading.get("skip_lines") or reading.get("comment"):
        return "its rows are read with --no-header, --skip-lines or --comment"
    return ""


LOADERS = {
    "duckdb": _named(_duckdb_load),
    "postgres": _named(_postgres_load),
    "psql": _named(_psql_load),
}


def file_stamp(path: str) -> dict[str, int | None]:
    """Size and modification time of a regular file, to tell later whether it changed;
    None for input that can be read only once."""
    try:
        st = os.stat(archives.locate(path)[0])  # a zip member changes with its archive
    except OSError:
        return {"size": None, "mtime_ns": None}
    if not stat.S_ISREG(st.st_mode):
        return {"size": None, "mtime_ns": None}
    return {"size": st.st_size, "mtime_ns": st.st_mtime_ns}


def as_json(t: Table) -> dict[str, Any]:
    return {
        "name": t.name,
        "path": t.path,
        "delimiter": t.delimiter,
        # How the bytes were read: a load must read them the same way.
        "encoding": t.encoding,
        "compression": t.compression,
        "rows": t.rows,
        # What reading the files again needs (`quorle load --schema`): the first file's, and
        # each file's own beside it.
        **(t.reading or {"header": True}),
        "na_values": list(t.na_values),
        "files": [
            {
                "path": path,
                "delimiter": delimiter,
                "encoding": t.encoding_of(path),
                **t.reading_of(path),
                **file_stamp(path),
            }
            for path, delimiter in t.members
        ],
        "columns": [
            {
                "name": c.name,
                "header": c.header,
                "type": c.type,
                "nullable": c.nullable,
                "max_length": c.max_length,
                "int_digits": c.int_digits,
                "frac_digits": c.frac_digits,
                "counts": dict(c.counts),
                "sql": dict(c.sql),
                **({"format": dict(c.format)} if c.format is not None else {}),
            }
            for c in t.columns
        ],
    }
