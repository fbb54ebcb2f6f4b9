"""The `quorle` command. Each subcommand is a parser builder and a runner; the
input options are shared by all of them, and the passes over the files are `runs`'."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import errno
import functools
import importlib.metadata
import os
import shutil
import signal
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor
from typing import Any

from . import archives, hygiene, runs, sources
from ._groups import Group, sum_groups
from .databases import DriverMissing
from .loader import (
    IF_EXISTS,
    STDIN,
    LoadedTable,
    LoadError,
    LoadUsageError,
    Plan,
    make_plan,
    shown_path,
)
from .loader import run as run_plan
from .many import expand_paths
from .options import (
    DEFAULT_WINDOW,
    MAX_WINDOW,
    Options,
    check_comment,
    check_skip_lines,
)
from .patterns import DEFAULT_NA_VALUES, PatternTable, load_patterns
from .ranges import DEFAULT_CHUNK_SIZE, parse_bytes
from .render import CsvReport, group_report, json_line, loaded_text, plan_text, table_report
from .result import FileResult
from .table_schema import DIALECTS, SQL_DIALECTS, describe_all, render

PROG = "quorle"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE
SPOOL_CHUNK = 1 << 20
# Signals that end a run as Ctrl-C does, with what is said; the status is 128 + the
# signal's number, as a shell reports it.
STOP_SIGNALS = {
    signal.SIGINT: "interrupted",
    signal.SIGTERM: "terminated",
    signal.SIGHUP: "hung up",
}
DELIMITER_ALIASES = {"\\t": "\t", "tab": "\t"}
STDIN_ARG = "-"
STDIN_FD = 0
# The standard descriptors, each with the mode /dev/null holds it open in when it was closed.
STANDARD_FDS = {STDIN_FD: os.O_RDONLY, 1: os.O_WRONLY, 2: os.O_WRONLY}
# Standard input's names besides '-'.
STDIN_PATHS = (sources.STDIN_DEVICE, "/dev/fd/0", "/proc/self/fd/0")


class UsageError(Exception):
    """A problem with the command line or the files it names: status 2."""


class StdinClosed(Exception):
    """A FILE names standard input, and it was closed when the command started: status 1."""


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
        help="one-byte field delimiter ('\\t' or 'tab' for a tab); 'auto' (the default)"
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
        " jobs=N) in Python). The engine's own multithreading setting starts a thread per"
        " field, is hundreds of times slower, and is only for expressions that are very"
        " expensive to match",
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
            comment=args.comment, keep_blank_lines=args.keep_blank_lines, **more,
        )  # fmt: skip
    except (TypeError, ValueError) as e:
        raise UsageError(str(e)) from None


def stdin_paths(paths: list[str]) -> list[str]:
    """The paths to read, '-' standing for stdin (at most once: it can be read once)."""
    check_stdin_open(paths)
    if paths.count(STDIN_ARG) > 1:
        raise UsageError("'-' (stdin) can be named only once; a file named - is ./-")
    return [sources.STDIN_DEVICE if p == STDIN_ARG else p for p in paths]


def _expand(files: list[str]) -> list[str]:
    """`expand_paths`, warning; a file named as an archive's member is a usage error."""
    try:
        return expand_paths(files, warn)
    except archives.NameClash as e:
        raise UsageError(str(e)) from None


def names_stdin(path: str) -> bool:
    return path == STDIN_ARG or os.path.normpath(path) in STDIN_PATHS


def check_stdin_open(paths: list[str]) -> None:
    """StdinClosed if a path names standard input and it was closed at the start: its
    descriptor now holds /dev/null, which would pass for an empty input."""
    if STDIN_FD in _closed_at_start and any(names_stdin(p) for p in paths):
        raise StdinClosed


def is_many(args: argparse.Namespace, paths: list[str]) -> bool:
    """Several files, or a folder or glob: not one file named as such, which --jobs and
    --dask spread over cores and machines as byte ranges. An archive's one member is one file."""
    one_member = len(paths) == 1 and [archives.locate(paths[0])[0]] == args.files
    return (paths != args.files and not one_member) or len(paths) > 1


def _dask_client(address: str) -> Any:
    try:
        from distributed import Client
    except ImportError:
        raise UsageError(
            "--dask needs the distributed package: pip install 'dask[distributed]'"
        ) from None
    try:
        return Client(address)
    except (OSError, ValueError) as e:
        raise UsageError(f"--dask {address}: {e}") from None


def analyse_files(
    args: argparse.Namespace, options: Options, paths: list[str], types_file: str | None = None
) -> Iterator[tuple[str, FileResult | Exception, float | None]]:
    """`runs.analyse` for one file named as such; `runs.analyse_many` for several, folders and
    globs; on the Dask cluster of --dask if given."""
    if args.jobs is not None and args.dask:
        raise UsageError("--jobs and --dask exclude each other")
    with _cluster(args.dask) as executor:
        if is_many(args, paths):
            yield from runs.analyse_many(
                paths, options, executor=executor, jobs=args.jobs, strict=args.strict
            )
        elif executor is not None:
            yield from runs.analyse(
                paths, options.replace(chunk_size=args.chunk_size, executor=executor)
            )
        else:
            yield from runs.analyse(paths, options.replace(jobs=args.jobs), types_file)


@contextlib.contextmanager
def _cluster(address: str | None) -> Iterator[Executor | None]:
    """The executor of the Dask cluster at `address`, closed at the end; None without one."""
    if not address:
        yield None
        return
    client = _dask_client(address)
    try:
        yield client.get_executor()
    finally:
        client.close()


def describe_error(path: str, error: Exception) -> str:
    if isinstance(error, OSError) and error.strerror:
        return hygiene.printable(f"{error.filename or path}: {error.strerror}")
    message = str(error)
    return hygiene.printable(message if path in message else f"{path}: {message}")


def shown_warnings(result: FileResult, verbose: bool) -> list[str]:
    """A kind of warning once per file, or with --verbose once per column."""
    return result.warning_details if verbose else result.warnings


def warn(path: str, message: str) -> None:
    print(f"{PROG}: {hygiene.printable(path)}: warning: {message}", file=sys.stderr)


# ---- quorle infer ----


def add_command(
    commands: Any, name: str, summary: str, description: str, run: Callable[..., int]
) -> argparse.ArgumentParser:
    """A subcommand that takes the files and the options of a pass."""
    parser = commands.add_parser(name, help=summary, description=description)
    add_input_options(parser)
    parser.set_defaults(run=run)
    return parser


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
        args, options, stdin_paths(_expand(args.files)), args.types_file
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
        for group in sum_groups(results, options.table.widening()):
            if len(group.paths) > 1:
                print("\n" + group_report(group, args.extras))
    return status


# ---- quorle schema ----


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
    paths = stdin_paths(_expand(args.files))
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
    grouped = sum_groups(results, options.table.widening()) if is_many(args, paths) else results
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


# ---- quorle load ----


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
        paths = _load_inputs(args, cleanup)
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
            _reraise_signal()
            print(f"{PROG}: error: {hygiene.printable(str(e))}", file=sys.stderr)
            return EXIT_FAILED
    return EXIT_OK


def _report_loaded(into: str, start: float, loaded: list[LoadedTable]) -> None:
    print_lines(loaded_text(loaded, time.perf_counter() - start, into))


def print_lines(text: str) -> None:
    """Output that names files, each line fit to print (a name that is not UTF-8 escaped)."""
    print("\n".join(hygiene.printable(line) for line in text.split("\n")))


def _load_inputs(args: argparse.Namespace, cleanup: contextlib.ExitStack) -> list[str]:
    """The files to load. Without --schema, input that can be read only once
    (standard input, a pipe) is spooled to a temporary file first, removed at the
    end: inferring it reads it once already."""
    paths = _expand(args.files) if args.schema is None else list(args.files)
    check_stdin_open(paths)
    if args.schema is not None:
        return paths
    stdin = [p for p in paths if names_stdin(p)]
    if len(stdin) > 1:
        raise UsageError("standard input (-) can be named once")
    if stdin and args.table is None:
        # Named after its file, the table would be "stdin", never what was meant.
        raise UsageError(f"{sources.STDIN_NAME} has no name to give its table: give --table NAME")
    out = []
    for index, path in enumerate(paths):
        if not names_stdin(path) and not _read_once(path):
            out.append(path)
            continue
        folder = cleanup.enter_context(tempfile.TemporaryDirectory(prefix="quorle-spool-"))
        if names_stdin(path):
            out.append(_stand_in_for_stdin(_spool(STDIN, os.path.join(folder, "stdin.csv"))))
        else:
            name = os.path.basename(path) or f"input{index}"
            out.append(_spool(path, os.path.join(folder, name)))
    return out


def _stand_in_for_stdin(spooled: str) -> str:
    """Makes the spooled copy of standard input descriptor 0, so that /dev/stdin reads it
    from its start each time it is opened (by the pass, then by the load) and every message
    names it <stdin>, never the temporary file."""
    fd = os.open(spooled, os.O_RDONLY)
    os.dup2(fd, STDIN_FD)
    os.close(fd)
    return sources.STDIN_DEVICE


def _read_once(path: str) -> bool:
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False  # the pass reports it
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def _spool(path: str, target: str) -> str:
    source = sys.stdin.buffer if path == STDIN else open(path, "rb")  # noqa: SIM115
    with source, open(target, "wb") as out:
        shutil.copyfileobj(source, out, SPOOL_CHUNK)
        size = out.tell()
    shown = sources.STDIN_NAME if path == STDIN else hygiene.printable(path)
    print(f"{PROG}: {shown} spooled to {target} ({size} bytes); removed at the end",
          file=sys.stderr)  # fmt: skip
    return target


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


# ---- the command ----

COMMANDS: list[Callable[[Any], None]] = [add_infer_command, add_schema_command, add_load_command]


def installed_version() -> str:
    """The version of the installed distribution, as pip reports it."""
    try:
        return importlib.metadata.version(PROG)
    except importlib.metadata.PackageNotFoundError:
        return "(not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Infer the column types of delimited text files.",
        epilog="Exit status: 0 on success, 1 when a file failed, 2 on a usage error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {installed_version()}")
    commands = parser.add_subparsers(metavar="COMMAND", required=True)
    for add in COMMANDS:
        add(commands)
    return parser


class Stopped(KeyboardInterrupt):
    """A stop signal, raised in the main thread so that every cleanup on the way out runs:
    workers ended, temporary files removed."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# Stop signals received. A database driver may catch the exception `_stop` raises inside its
# own code and report a failure of its own instead; the signal must still decide the outcome.
_received: list[int] = []


def _stop(signum: int, frame: Any) -> None:
    # Further signals would cut short the cleanup this one starts.
    for other in STOP_SIGNALS:
        signal.signal(other, signal.SIG_IGN)
    _received.append(signum)
    raise Stopped(signum)


def _reraise_signal() -> None:
    if _received:
        raise Stopped(_received[0])


def _catch_stop_signals() -> dict[int, Any]:
    """Installs `_stop` for each stop signal not ignored (a background job ignores Ctrl-C);
    returns the handlers it replaced."""
    previous = {}
    for signum in STOP_SIGNALS:
        if signal.getsignal(signum) is not signal.SIG_IGN:
            previous[signum] = signal.signal(signum, _stop)
    return previous


def _say_stopped(signum: int) -> None:
    # After Ctrl-C the terminal shows ^C: the message goes on a line of its own.
    start = "\n" if signum == signal.SIGINT else ""
    try:
        print(f"{start}{PROG}: {STOP_SIGNALS[signal.Signals(signum)]}", file=sys.stderr)
    except OSError:
        pass  # the terminal hung up


# The standard descriptors found closed at a start; they hold /dev/null since.
_closed_at_start: set[int] = set()


def _hold_closed_descriptors() -> None:
    """Opens /dev/null on each standard descriptor that is closed, before anything else is
    opened: a pipe or file would take the lowest free number, and be read as stdin or get
    the output. What is written to a closed one is dropped, as Python drops it."""
    for fd, mode in STANDARD_FDS.items():
        if not _is_closed(fd):
            continue
        # Normally it takes the number `fd`, the lowest free one as those below it are open by
        # now; it is moved there should it not.
        held = os.open(os.devnull, mode)
        if held != fd:
            os.dup2(held, fd)
            os.close(held)
        os.set_inheritable(fd, True)  # a worker shares this process's standard descriptors
        _closed_at_start.add(fd)
    # Python gives no stream for a descriptor closed at its start; the command writes to both.
    for fd, name in ((1, "stdout"), (2, "stderr")):
        if getattr(sys, name) is None:
            setattr(sys, name, open(fd, "w", closefd=False))


def _is_closed(fd: int) -> bool:
    try:
        os.fstat(fd)
    except OSError as e:
        return e.errno == errno.EBADF
    return False


def main(argv: Sequence[str] | None = None) -> int:
    _hold_closed_descriptors()
    args = build_parser().parse_args(argv)
    previous = _catch_stop_signals()
    try:
        status: int = args.run(args)
        return status
    except UsageError as e:
        print(f"{PROG}: error: {hygiene.printable(str(e))}", file=sys.stderr)
        return EXIT_USAGE
    except StdinClosed:
        print(f"{PROG}: error: {sources.STDIN_NAME}: cannot read: stdin is closed", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt as e:
        signum = e.signum if isinstance(e, Stopped) else signal.SIGINT
        _say_stopped(signum)
        return 128 + signum
    except BrokenPipeError:
        # The reader went away: nothing more to say, and nothing to say it to.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


if __name__ == "__main__":
    sys.exit(main())
