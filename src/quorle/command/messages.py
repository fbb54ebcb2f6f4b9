"""How the command ends and what it says: exit statuses, the errors that set them, and
warnings and errors on stderr, every name in them fit to print."""

from __future__ import annotations

import sys

from ..inference import hygiene
from ..inference.result import FileResult

PROG = "quorle"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE


class UsageError(Exception):
    """A problem with the command line or the files it names: status 2."""


class StdinClosed(Exception):
    """A FILE names standard input, and it was closed when the command started: status 1."""


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


def print_lines(text: str) -> None:
    """Output that names files, each line fit to print (a name that is not UTF-8 escaped)."""
    print("\n".join(hygiene.printable(line) for line in text.split("\n")))
