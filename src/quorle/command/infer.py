"""`quorle infer`: each column's fields counted by type, with a suggested type and notes."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ..inference.groups import sum_groups
from .arguments import add_command, input_options
from .files import analyse_files, expand
from .messages import EXIT_FAILED, EXIT_OK, PROG, UsageError, describe_error, shown_warnings, warn
from .render import CsvReport, group_report, json_line, table_report
from .stdin import stdin_paths


def add_infer_command(commands: Any) -> None:
    parser = add_command(
        commands,
        "infer",
        "count each column's fields by type and suggest a type per column",
        "Stream each file once; report per column the fields of each type,"
        " a suggested type and notes.",
        run_infer,
    )
    parser.add_argument(
        "--types-file", metavar="PATH", help="also write each field's type here (one file only)"
    )
    parser.add_argument(
        "--format",
        choices=("table", "json", "csv"),
        default="table",
        help="table for people; json (one object per file and line) or csv for programs",
    )
    parser.add_argument(
        "--extras", action="store_true", help="also show example texts of the other kinds"
    )


def run_infer(args: argparse.Namespace) -> int:
    if args.types_file is not None and len(args.files) > 1:
        raise UsageError("--types-file needs exactly one FILE")
    options = input_options(args, extras=args.extras)
    csv_report = CsvReport(args.extras) if args.format == "csv" else None
    status = EXIT_OK
    tables_shown = 0
    results = []
    for path, outcome, seconds in analyse_files(
        args, options, stdin_paths(expand(args.files)), args.types_file
    ):
        if isinstance(outcome, Exception):
            print(f"{PROG}: error: {describe_error(path, outcome)}", file=sys.stderr)
            status = EXIT_FAILED
            continue
        results.append(outcome)
        for message in shown_warnings(outcome, args.verbose):
            warn(path, message)
        if csv_report is not None:
            csv_report.write(outcome)
        elif args.format == "json":
            print(json_line(outcome.to_dict()))
        else:
            if tables_shown:
                print()
            print(table_report(outcome, seconds, args.delimiter, args.extras))
            tables_shown += 1
        sys.stdout.flush()
    if args.format == "table":
        for group in sum_groups(results, options.table.widening(), options.tie_breakers):
            if len(group.paths) > 1:
                print("\n" + group_report(group, args.extras))
    return status
