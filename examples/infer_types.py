"""Infer the column types of a CSV file with quorle and suggest one type per column.

Example:
    python examples/infer_types.py examples/data/sample.csv
    python examples/infer_types.py examples/data/sensors.csv --delimiter ';'
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import Mapping, NamedTuple, Sequence

import quorle_ext

NA = "NA"
OTHER = "other"
EMPTY = "empty"
DEFAULT_NA_VALUES = ("", "NA", "N/A", "null", "NULL", "None", "-")
DEFAULT_WINDOW = 100000
DEFAULT_PATTERNS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "patterns.json")
# Below this share of the non-missing fields the winning type gets a "mixed" note.
MIXED_BELOW = 0.95
INT_MAX = 2**31 - 1
PROG = "infer_types.py"


class UsageError(Exception):
    """A problem with the command line or its files, reported in one line with status 2."""


class Suggestion(NamedTuple):
    type: str
    share: float
    missing: float
    notes: tuple[str, ...]


def percent(part: int, whole: int) -> str:
    # Rounded down, so that a share just under a threshold never prints as the threshold.
    tenths = part * 1000 // whole
    return f"{tenths // 10}.{tenths % 10}%" if tenths % 10 else f"{tenths // 10}%"


def suggest_type(counts: Mapping[str, int], mixed_below: float = MIXED_BELOW) -> Suggestion:
    """Suggest a column's type from its counts by type name.

    Missing values ("NA") are set aside; the type with the most remaining fields wins.
    Ties go to a pattern type before "other", then to the name first in alphabetical
    order, so the result does not depend on the order of the counts.
    """
    total = sum(counts.values())
    missing = counts.get(NA, 0)
    present = {name: n for name, n in counts.items() if name != NA and n > 0}
    if not present:
        note = f"all {total} fields missing" if total else "no data"
        return Suggestion(EMPTY, 0.0, 1.0 if total else 0.0, (note,))

    winner = min(present, key=lambda name: (-present[name], name == OTHER, name))
    won, non_missing = present[winner], sum(present.values())
    notes: list[str] = []
    if won < mixed_below * non_missing:
        notes.append(f"mixed: {winner} is {percent(won, non_missing)} of non-missing")
    if 2 * missing > total:
        notes.append(f"mostly missing: NA is {percent(missing, total)}")
    return Suggestion(winner, won / non_missing, missing / total, tuple(notes))


def format_counts(counts: Mapping[str, int]) -> str:
    nonzero = sorted((item for item in counts.items() if item[1] > 0), key=lambda i: (-i[1], i[0]))
    return ", ".join(f"{name} {n}" for name, n in nonzero)


def format_duration(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def format_report(
    path: str, num_rows: int, col_names: Sequence[str], candidates: Mapping, seconds: float
) -> str:
    plural = "" if num_rows == 1 else "s"
    lines = [
        f"{path}: {num_rows} data row{plural}, {len(col_names)} columns,"
        f" inferred in {format_duration(seconds)}",
        "",
    ]
    table = [("column", "suggested", "counts", "note")]
    # Header cells with the same name share one set of counts: show each name once.
    for name in dict.fromkeys(col_names):
        counts = candidates.get(name, {})
        suggestion = suggest_type(counts)
        table.append((name, suggestion.type, format_counts(counts), "; ".join(suggestion.notes)))
    widths = [max(len(row[i]) for row in table) for i in range(3)]
    for row in table:
        cells = [cell.ljust(width) for cell, width in zip(row, widths)] + [row[3]]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def load_patterns(path: str) -> dict:
    try:
        with open(path, encoding="utf-8") as f:
            patterns = json.load(f)
    except OSError as e:
        raise UsageError(f"cannot read pattern file {path}: {e.strerror}") from None
    except ValueError as e:
        raise UsageError(f"pattern file {path} is not valid JSON: {e}") from None
    if not isinstance(patterns, dict):
        raise UsageError(f"pattern file {path}: expected an object of type name -> list of regexes")
    for name, sources in patterns.items():
        if not isinstance(sources, list) or not all(isinstance(s, str) for s in sources):
            raise UsageError(f"pattern file {path}: type {name!r} needs a list of strings")
        if name in (NA, OTHER):
            raise UsageError(f"pattern file {path}: {name!r} is reserved for the engine's own use")
    return patterns


def check_patterns(path: str, patterns: Mapping[str, list]) -> None:
    # The engine compiles with Boost.Regex; compiling one source at a time names the culprit.
    for name, sources in patterns.items():
        for source in sources:
            try:
                quorle_ext.Inf("", ",", {name: [source]}, set(), False, False, "", 1)
            except RuntimeError as e:
                message = " ".join(str(e).split())
                raise UsageError(
                    f"pattern file {path}: type {name!r}: {source!r} does not compile: {message}"
                ) from None


def delimiter_arg(text: str) -> str:
    text = {"\\t": "\t", "tab": "\t"}.get(text, text)
    if len(text.encode("utf-8")) != 1:
        raise argparse.ArgumentTypeError(f"must be a single one-byte character, not {text!r}")
    return text


def window_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= INT_MAX:
        raise argparse.ArgumentTypeError(f"must be between 0 and {INT_MAX}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Infer the type of each column of a CSV file and suggest one per column.",
        epilog="Exit status: 0 on success, 2 on bad usage, a missing file or a bad pattern file.",
    )
    parser.add_argument("file", metavar="FILE", help="CSV file; its first row names the columns")
    parser.add_argument(
        "--delimiter",
        type=delimiter_arg,
        default=",",
        metavar="C",
        help="field delimiter, one byte ('\\t' or 'tab' for a tab; default ',')",
    )
    parser.add_argument(
        "--patterns",
        default=DEFAULT_PATTERNS,
        metavar="JSON",
        help="JSON object of type name -> list of regexes matched against whole fields"
        " (default: patterns.json beside this script)",
    )
    parser.add_argument(
        "--na",
        nargs="*",
        metavar="VALUE",
        help="texts that count as missing values, replacing the defaults"
        " (default: '' NA N/A null NULL None -); give FILE before --na or end the list with --",
    )
    parser.add_argument(
        "--types-file", metavar="PATH", help="also write each field's type name, row by row, here"
    )
    parser.add_argument(
        "--parallel",
        action="store_true",
        help="classify the fields of a row on parallel threads",
    )
    parser.add_argument(
        "--window",
        type=window_arg,
        default=DEFAULT_WINDOW,
        metavar="N",
        help=f"empty the value cache every N rows; 0 never empties it (default {DEFAULT_WINDOW})",
    )
    return parser


def run(args: argparse.Namespace) -> str:
    if not os.path.exists(args.file):
        raise UsageError(f"no such file: {args.file}")
    if not os.path.isfile(args.file):
        raise UsageError(f"not a regular file: {args.file}")
    if args.types_file is not None:
        folder = os.path.dirname(os.path.abspath(args.types_file))
        if not os.path.isdir(folder):
            raise UsageError(f"no such directory for the types file: {folder}")
    patterns = load_patterns(args.patterns)
    check_patterns(args.patterns, patterns)
    na_values = set(DEFAULT_NA_VALUES if args.na is None else args.na)

    start = time.perf_counter()
    inf = quorle_ext.Inf(
        args.file,
        args.delimiter,
        patterns,
        na_values,
        args.parallel,
        args.types_file is not None,
        args.types_file or "",
        args.window,
    )
    try:
        inf.infer_types()
    except RuntimeError as e:
        raise UsageError(f"cannot read {args.file}: {e}") from None
    seconds = time.perf_counter() - start
    try:
        col_names, candidates = inf.col_names, inf.get_col_type_candidates()
    except UnicodeDecodeError:
        raise UsageError(f"{args.file}: the header is not valid UTF-8") from None
    return format_report(args.file, inf.num_rows, col_names, candidates, seconds)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        report = run(args)
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
