"""The `quorle` command: its subcommands infer, schema and load, each a module of its own."""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Sequence

from ..engine import sources
from ..inference import hygiene
from .descriptors import hold_closed_descriptors
from .messages import EXIT_BROKEN_PIPE, EXIT_FAILED, EXIT_USAGE, PROG, StdinClosed, UsageError
from .parser import build_parser
from .signals import Stopped, catch_stop_signals, say_stopped

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    hold_closed_descriptors()
    args = build_parser().parse_args(argv)
    previous = catch_stop_signals()
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
        say_stopped(signum)
        return 128 + signum
    except BrokenPipeError:
        # The reader went away: nothing more to say, and nothing to say it to.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
