"""Stop signals (Ctrl-C, SIGTERM, a hangup) raised in the main thread as an exception, so
that every cleanup on the way out runs, and said in one line as the command ends."""

from __future__ import annotations

import signal
import sys
from typing import Any

from .messages import PROG

# Signals that end a run as Ctrl-C does, with what is said; the status is 128 + the
# signal's number, as a shell reports it.
STOP_SIGNALS = {
    signal.SIGINT: "interrupted",
    signal.SIGTERM: "terminated",
    signal.SIGHUP: "hung up",
}


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


def reraise_signal() -> None:
    if _received:
        raise Stopped(_received[0])


def catch_stop_signals() -> dict[int, Any]:
    """Installs `_stop` for each stop signal not ignored (a background job ignores Ctrl-C);
    returns the handlers it replaced."""
    previous = {}
    for signum in STOP_SIGNALS:
        if signal.getsignal(signum) is not signal.SIG_IGN:
            previous[signum] = signal.signal(signum, _stop)
    return previous


def say_stopped(signum: int) -> None:
    # After Ctrl-C the terminal shows ^C: the message goes on a line of its own.
    start = "\n" if signum == signal.SIGINT else ""
    try:
        print(f"{start}{PROG}: {STOP_SIGNALS[signal.Signals(signum)]}", file=sys.stderr)
    except OSError:
        pass  # the terminal hung up
