"""`quorle load`: files into a SQLite, DuckDB or Postgres table, all or nothing."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import functools
import sys
import time
from typing import Any

from ..engine import sources
from ..inference import hygiene
from ..loading.databases import DriverMissing
from ..loading.load_errors import LoadError, LoadUsageError
from ..loading.loader import LoadedTable
from ..loading.loader import run as run_plan
from ..loading.plan import IF_EXISTS, Plan, make_plan, shown_path
from ..loading.schema_file import STDIN
from .arguments import add_command, input_options
from .files import analyse_files
from .messages import (
    EXIT_FAILED,
    EXIT_OK,
    PROG,
    UsageError,
    describe_error,
    print_lines,
    shown_warnings,
    warn,
)
from .render import loaded_text, plan_text
from .signals import reraise_signal
from .stdin import spooled_inputs


def add_load_command(commands: Any) -> None:
    parser = add_command(
        commands,
        "load",
        "load files into a SQLite, DuckDB or Postgres table, every value kept",
        "Infer each file (or take --schema), create a table per header and fill it with"
        " quorle's own reading of the rows, in one transaction: all or nothing.",
        run_load,
    )
    parser.add_argument(
        "--into",
        required=True,
        metavar="URL",
        help="sqlite:///FILE, duckdb:///FILE (four slashes for an absolute path),"
        " postgresql://USER@HOST:PORT/DB or a libpq connection string",
    )
    parser.add_argument("--table", metavar="NAME", help="the table's name (one header only)")
    parser.add_argument(
        "--if-exists",
        choices=IF_EXISTS,
        default="fail",
        help="a table that exists: refuse (the default), drop and recreate it, or add the rows"
        " to it (its columns must be the file's)",
    )
    parser.epilog = (
        "Exit status: 0 loaded; 1 nothing loaded (a file or the database failed); 2 a usage"
        " error; 130 after Ctrl-C and 143 after SIGTERM, with nothing loaded."
    )
    parser.add_argument(
        "--schema",
        metavar="SCHEMA.json",
        help="the output of quorle schema --dialect json: no inference, files checked unchanged",
    )
    parser.add_argument(
        "--ignore-extra-fields",
        action="store_true",
        help="drop the fields of a row past the header's width, instead of failing",
    )
    parser.add_argument(
        "--dry-run", action="store_true", help="print the plan and statements, touch nothing"
    )


def run_load(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as cleanup:
        paths = spooled_inputs(args, cleanup)
        try:
            plan = _load_plan(args, paths)
            if args.dry_run:
                print_lines(plan_text(plan))
                return EXIT_OK
            # Reported within the run: once a new database file is out, nothing stops it.
            report = functools.partial(_report_loaded, plan.target.display, time.perf_counter())
            run_plan(plan, progress=sys.stderr.isatty(), report=report)
        except (LoadUsageError, DriverMissing) as e:
            raise UsageError(str(e)) from None
        except LoadError as e:
            reraise_signal()
            print(f"{PROG}: error: {hygiene.printable(str(e))}", file=sys.stderr)
            return EXIT_FAILED
    return EXIT_OK


def _report_loaded(into: str, start: float, loaded: list[LoadedTable]) -> None:
    print_lines(loaded_text(loaded, time.perf_counter() - start, into))


def _load_plan(args: argparse.Namespace, paths: list[str]) -> Plan:
    common = {
        "table": args.table,
        "if_exists": args.if_exists,
        "ignore_extra_fields": args.ignore_extra_fields,
    }
    if args.schema is not None:
        return make_plan(paths, args.into, schema=args.schema, **common)
    options = input_options(args)
    results = []
    outcomes = analyse_files(args, options, paths)
    for (path, outcome, _), named in zip(outcomes, paths, strict=True):
        if isinstance(outcome, Exception):
            raise LoadError(f"{describe_error(path, outcome)}: nothing loaded")
        if named == sources.STDIN_DEVICE:
            outcome = dataclasses.replace(outcome, path=STDIN)  # what the loader reads as stdin
        for message in shown_warnings(outcome, args.verbose):
            warn(path, message)
        results.append(outcome)
    plan = make_plan(results, args.into, **common, options=options)
    for t in plan.tables:
        for message in t.warnings_for(plan.target.dialect):
            warn(shown_path(t.path), message)
    return plan
