"""Standard input among the files: named once at most, refused when it was closed, and for a
load spooled to a temporary file first, as is any input that can be read only once."""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import stat
import sys
import tempfile

from ..engine import sources
from ..inference import hygiene
from ..loading.schema_file import STDIN
from .descriptors import STDIN_FD, closed_at_start
from .files import expand
from .messages import PROG, StdinClosed, UsageError

STDIN_ARG = "-"
# Standard input's names besides '-'.
STDIN_PATHS = (sources.STDIN_DEVICE, "/dev/fd/0", "/proc/self/fd/0")
SPOOL_CHUNK = 1 << 20


def names_stdin(path: str) -> bool:
    return path == STDIN_ARG or os.path.normpath(path) in STDIN_PATHS


def check_stdin_open(paths: list[str]) -> None:
    """StdinClosed if a path names standard input and it was closed at the start: its
    descriptor now holds /dev/null, which would pass for an empty input."""
    if STDIN_FD in closed_at_start and any(names_stdin(p) for p in paths):
        raise StdinClosed


def stdin_paths(paths: list[str]) -> list[str]:
    """The paths to read, '-' standing for stdin (at most once: it can be read once)."""
    check_stdin_open(paths)
    if paths.count(STDIN_ARG) > 1:
        raise UsageError("'-' (stdin) can be named only once; a file named - is ./-")
    return [sources.STDIN_DEVICE if p == STDIN_ARG else p for p in paths]


def spooled_inputs(args: argparse.Namespace, cleanup: contextlib.ExitStack) -> list[str]:
    """The files to load. Without --schema, input that can be read only once
    (standard input, a pipe) is spooled to a temporary file first, removed at the
    end: inferring it reads it once already."""
    paths = expand(args.files) if args.schema is None else list(args.files)
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
