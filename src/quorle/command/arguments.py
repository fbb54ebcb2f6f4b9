"""The files and the options of a pass, shared by every subcommand: each checked as it is
parsed, then made into the pass's checked Options."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from ..engine import sources
from ..inference import hygiene
from ..inference.options import (
    DATE_ORDERS,
    DECIMAL_MARKS,
    DEFAULT_WINDOW,
    MAX_WINDOW,
    Options,
    check_comment,
    check_skip_lines,
)
from ..inference.patterns import DEFAULT_NA_VALUES, PatternTable, load_patterns
from ..inference.ranges import DEFAULT_CHUNK_SIZE, parse_bytes
from .messages import UsageError

DELIMITER_ALIASES = {"\\t": "\t", "tab": "\t"}


def delimiter_arg(text: str) -> str:
    text = DELIMITER_ALIASES.get(text, text)
    if text == hygiene.AUTO:
        return text
    try:
        return hygiene.check_delimiter(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def encoding_arg(text: str) -> str:
    try:
        sources.check_encoding(text)
        return text  # as given, for messages: each pass reads it by the engine's name
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def window_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= MAX_WINDOW:
        raise argparse.ArgumentTypeError(f"must be from 0 to {MAX_WINDOW}")
    return value


def skip_lines_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    try:
        return check_skip_lines(value)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def comment_arg(text: str) -> str | None:
    try:
        return check_comment(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_input_options(parser: argparse.ArgumentParser) -> None:
    """The files and the options of a pass, shared by every subcommand."""
    parser.add_argument(
        "files",
        nargs="+",
        metavar="FILE",
        help="delimited text files, compressed or not (gzip, zstd, bzip2, xz); a folder"
        " stands for its files, a quoted glob for the files it matches, a zip archive for its"
        " .csv, .tsv and .txt members (ARCHIVE.zip:MEMBER names one), '-' for stdin (a file"
        " named - is ./-)",
    )
    parser.add_argument(
        "--patterns",
        metavar="FILE",
        help="JSON pattern file (default: the table shipped with quorle)",
    )
    parser.add_argument(
        "--na",
        nargs="*",
        metavar="VALUE",
        help="texts that count as missing, replacing the defaults"
        f" ({' '.join(repr(v) for v in sorted(DEFAULT_NA_VALUES))});"
        " give the files first or end the list with --",
    )
    parser.add_argument(
        "--delimiter",
        type=delimiter_arg,
        default=hygiene.AUTO,
        metavar="C|auto",
        help="one-byte field delimiter ('tab' for a tab); 'auto' (the default)"
        " detects it from the first block of the text, for pipes and compressed files too",
    )
    parser.add_argument(
        "--encoding",
        type=encoding_arg,
        metavar="NAME|auto",
        help="the files' text encoding, any the C library's iconv knows in which ASCII"
        " characters keep their bytes, or UTF-16/32 (default utf-8, or the UTF-16/32 of a byte"
        " order mark); 'auto' trusts a BOM, else takes UTF-8 if the first MB decodes and"
        " cp1252 if not",
    )
    parser.add_argument(
        "--priority",
        action="store_true",
        help="types that overlap: a field gets the first listed type that matches it",
    )
    parser.add_argument(
        "--date-order",
        choices=DATE_ORDERS,
        help="where every date of a column reads in several of its type's formats, take the"
        " one with this order of day, month and year; a column its dates decide keeps theirs",
    )
    parser.add_argument(
        "--decimal-mark",
        choices=DECIMAL_MARKS,
        help="where every number of a column reads in several of its type's formats, take the"
        " one with this decimal mark; a column its numbers decide keeps theirs",
    )
    parser.add_argument(
        "--window",
        type=window_arg,
        default=DEFAULT_WINDOW,
        metavar="N",
        help=f"empty the value cache every N rows; 0 never (default {DEFAULT_WINDOW})",
    )
    add_reading_options(parser)
    add_many_options(parser)
    parser.add_argument(
        "--verbose",
        action="store_true",
        help="warnings one line per column, where by default a kind of warning is one line"
        " naming a few columns",
    )


def add_reading_options(parser: argparse.ArgumentParser) -> None:
    """How rows are read: what comes before the header, comments, blank lines."""
    parser.add_argument(
        "--skip-lines",
        type=skip_lines_arg,
        metavar="N",
        help="skip N lines before the header (a title or notes above the table), whatever"
        " they hold; by default the lines above the first row as wide as the rows below it"
        " are skipped, with a warning (--skip-lines 0 reads the first line as the header)",
    )
    parser.add_argument(
        "--comment",
        type=comment_arg,
        metavar="CHAR",
        help="skip lines that start with CHAR (one ASCII character, not the delimiter)",
    )
    parser.add_argument(
        "--no-header",
        dest="header",
        action="store_false",
        help="the first line is data: columns are named column_1, column_2, ...",
    )
    parser.add_argument(
        "--keep-blank-lines",
        action="store_true",
        default=None,
        help="count blank lines as rows (by default they are skipped, with a warning, unless"
        " the file has one column, where a blank line is an empty field)",
    )


def jobs_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def add_many_options(parser: argparse.ArgumentParser) -> None:
    """Several files, folders or globs: one pass per file, many at once."""
    parser.add_argument(
        "--jobs",
        type=jobs_arg,
        metavar="N",
        help="use at most N cores for the whole run (default: all of them): N files at once,"
        " each in a worker process on one thread, or with fewer files about N / files threads"
        " each, a large file split into byte ranges (quorle.infer_many and quorle.infer(...,"
        " jobs=N) in Python)",
    )
    parser.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="read the files on the workers of the Dask scheduler at ADDRESS (such as"
        " tcp://host:8786), one file as byte ranges; every worker needs quorle and must see"
        " the files at the same paths",
    )
    parser.add_argument(
        "--chunk-size",
        type=chunk_size_arg,
        default=DEFAULT_CHUNK_SIZE,
        metavar="SIZE",
        help="with --dask and one FILE, the bytes of each range sent to a worker, such as 64MB"
        f" or 1GiB (default {DEFAULT_CHUNK_SIZE})",
    )
    parser.add_argument("--strict", action="store_true", help="stop at the first file that fails")


def chunk_size_arg(text: str) -> int:
    try:
        return parse_bytes(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def input_options(args: argparse.Namespace, **more: Any) -> Options:
    """The checked options of a pass from the shared options, with `more` (such as
    extras=True); UsageError for a bad pattern file or options that do not go together."""
    table: PatternTable | None = None
    if args.patterns is not None:
        try:
            table = load_patterns(args.patterns)
        except OSError as e:
            raise UsageError(f"pattern file {args.patterns}: {e.strerror or e}") from None
        except ValueError as e:
            raise UsageError(str(e)) from None
    try:
        return Options(
            patterns=table, na_values=None if args.na is None else frozenset(args.na),
            delimiter=args.delimiter, window=args.window, priority=args.priority,
            encoding=args.encoding, header=args.header, skip_lines=args.skip_lines,
            comment=args.comment, keep_blank_lines=args.keep_blank_lines,
            date_order=args.date_order, decimal_mark=args.decimal_mark, **more,
        )  # fmt: skip
    except (TypeError, ValueError) as e:
        raise UsageError(str(e)) from None


def add_command(
    commands: Any, name: str, summary: str, description: str, run: Callable[..., int]
) -> argparse.ArgumentParser:
    """A subcommand that takes the files and the options of a pass."""
    parser = commands.add_parser(name, help=summary, description=description)
    add_input_options(parser)
    parser.set_defaults(run=run)
    return parser
