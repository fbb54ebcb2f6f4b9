"""What a load will do, decided before anything is touched: the target, and the tables from
inferring the files or from a schema written before, each checked against the database's limits."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from ..engine.sources import STDIN_NAME
from ..inference.api import infer_checked
from ..inference.groups import sum_groups
from ..inference.options import Options
from ..inference.result import FileResult
from ..sql.identifiers import quote
from ..sql.statements import create_table
from ..sql.table_schema import describe_all
from ..sql.tables import Table
from .databases import MAX_COLUMNS
from .load_errors import LoadError, LoadUsageError
from .schema_file import STDIN, file_list, schema_document, tables_from_schema
from .targets import Target, TargetError, parse_target

IF_EXISTS = ("fail", "replace", "append")


@dataclass
class Plan:
    target: Target
    tables: list[Table]
    if_exists: str
    ignore_extra_fields: bool

    def statements(self) -> list[str]:
        """What a run executes, in order, for a database without these tables
        (with --if-exists replace, the DROP is run only for a table that exists)."""
        out = []
        for t in self.tables:
            if self.if_exists == "replace":
                out.append(f"DROP TABLE IF EXISTS {quote(t.name, self.target.dialect)};")
            out.append(create_table(t, self.target.dialect))
        return out


def make_plan(
    paths_or_results: Any,
    into: str,
    *,
    table: str | None = None,
    if_exists: str = "fail",
    schema: str | os.PathLike[str] | Mapping[str, Any] | None = None,
    ignore_extra_fields: bool = False,
    options: Options | None = None,
    **infer_options: Any,
) -> Plan:
    """The tables a load creates and fills: from `schema` (a JSON description
    written by `quorle schema --dialect json`, checked against the files), or
    else from inferring the files with `options` (checked already) or `infer_options`
    (`quorle.infer`'s keywords); nothing is touched yet."""
    if options is None:
        options = Options(**infer_options)
    elif infer_options:
        raise TypeError("give options or infer's keywords, not both")
    if if_exists not in IF_EXISTS:
        raise LoadUsageError(f"if_exists must be one of {', '.join(IF_EXISTS)}, not {if_exists!r}")
    try:
        target = parse_target(into)
    except TargetError as e:
        raise LoadUsageError(str(e)) from None
    if schema is not None:
        tables = tables_from_schema(schema_document(schema), table, file_list(paths_or_results))
    else:
        tables = _inferred_tables(paths_or_results, table, options)
    for t in tables:
        check_limits(t, target.dialect)
    return Plan(target, tables, if_exists, ignore_extra_fields)


def _inferred_tables(paths_or_results: Any, table: str | None, options: Options) -> list[Table]:
    items = paths_or_results
    if isinstance(items, (str, os.PathLike, FileResult)):
        items = [items]
    results = [r if isinstance(r, FileResult) else infer_checked(r, options) for r in items]
    if not results:
        raise LoadUsageError("no files to load")
    patterns = options.table
    groups = sum_groups(results, patterns.widening(), options.tie_breakers)
    if table is not None and len(groups) > 1:
        raise LoadUsageError(f"a table name is for one header, and the files have {len(groups)}")
    return describe_all(groups, patterns=patterns, na_values=options.na_values, table=table)


def shown_path(path: str) -> str:
    """A file as messages name it: standard input ("-" in a plan) as <stdin>."""
    return STDIN_NAME if path == STDIN else path


def check_limits(t: Table, dialect: str) -> None:
    """LoadError for a table no database of the dialect can take, naming the file."""
    path = shown_path(t.path)
    if not t.columns:
        raise LoadError(f"{path}: no columns: nothing to load")
    if t.rows == 0:
        raise LoadError(f"{path}: no data rows: nothing to load, and no types to choose")
    limit = MAX_COLUMNS.get(dialect)
    if limit is not None and len(t.columns) > limit:
        raise LoadError(
            f"{path}: {len(t.columns)} columns, and {dialect} allows {limit} in a table;"
            " `quorle schema --dialect json` describes a wide file"
        )
