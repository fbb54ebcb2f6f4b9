"""`quorle schema`: a CREATE TABLE per file (or per header), with its load statement."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import Any

from ..inference.groups import Group, sum_groups
from ..inference.options import Options
from ..inference.result import FileResult
from ..sql.table_schema import DIALECTS, SQL_DIALECTS, describe_all, render
from .arguments import add_command, input_options
from .files import analyse_files, expand, is_many
from .messages import EXIT_FAILED, EXIT_OK, PROG, UsageError, describe_error, shown_warnings, warn
from .stdin import stdin_paths


def add_schema_command(commands: Any) -> None:
    parser = add_command(
        commands,
        "schema",
        "print a CREATE TABLE per file that loads every row without losing a value",
        "Stream each file once and print a table definition that holds all of it,"
        " in the dialect's types; --load adds the statement that loads the file.",
        run_schema,
    )
    parser.add_argument(
        "--dialect",
        required=True,
        choices=DIALECTS,
        help="the database whose CREATE TABLE to print (sqlite, postgres, duckdb), or json:"
        " every table's columns, types, counts and how its file is read (delimiter, encoding,"
        " compression) for programs and a later load",
    )
    parser.add_argument("--table", metavar="NAME", help="the table's name (one FILE only)")
    parser.add_argument("--load", action="store_true", help="also print the load statement")
    parser.add_argument(
        "--psql",
        action="store_true",
        help="with --dialect postgres: load with psql's client-side \\copy (no superuser needed)",
    )
    parser.add_argument(
        "--keep-going",
        action="store_true",
        help="when files fail, still print the statements of the others, with a comment for"
        " each failed one (without it, a run with a failure prints no statement)",
    )


def run_schema(args: argparse.Namespace) -> int:
    if args.psql and args.dialect != "postgres":
        raise UsageError("--psql writes psql's \\copy: it needs --dialect postgres")
    if args.table is not None and len(args.files) > 1:
        raise UsageError("--table needs exactly one FILE")
    if args.keep_going and args.strict:
        raise UsageError("--keep-going and --strict exclude each other")
    options = input_options(args)
    paths = stdin_paths(expand(args.files))
    results, failures = [], []
    for path, outcome, _ in analyse_files(args, options, paths):
        if isinstance(outcome, Exception):
            failures.append(describe_error(path, outcome))
            print(f"{PROG}: error: {failures[-1]}", file=sys.stderr)
            continue
        for message in shown_warnings(outcome, args.verbose):
            warn(path, message)
        results.append(outcome)
    # Statements are printed whole or not at all: a script that runs them must not
    # find some tables made and others missing.
    if failures and not args.keep_going:
        print(
            f"{PROG}: no statements printed, since a file failed (see --keep-going)",
            file=sys.stderr,
        )
        return EXIT_FAILED
    parts = [schema_text(results, paths, args, options)] if results else []
    if args.dialect in SQL_DIALECTS:
        parts += [f"-- Failed, so no table: {failure}" for failure in failures]
    if parts:
        print("\n\n".join(parts))
    return EXIT_FAILED if failures else EXIT_OK


def schema_text(
    results: list[FileResult], paths: list[str], args: argparse.Namespace, options: Options
) -> str:
    grouped = (
        sum_groups(results, options.table.widening(), options.tie_breakers)
        if is_many(args, paths)
        else results
    )
    return group_schemas(grouped, args, options)


def group_schemas(
    groups: Sequence[Group | FileResult], args: argparse.Namespace, options: Options
) -> str:
    """One table per group of files with the same header, loaded from each of its files."""
    if args.table is not None and len(groups) > 1:
        raise UsageError(f"--table names one table, and the files have {len(groups)} headers")
    tables = describe_all(
        groups, patterns=options.patterns, na_values=options.na_values, table=args.table
    )
    for t in tables:
        for message in t.warnings_for(args.dialect):
            warn(t.path, message)
    return render(tables, args.dialect, "psql" if args.psql else args.load)
