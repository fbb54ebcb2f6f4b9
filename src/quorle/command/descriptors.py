"""The standard descriptors found closed at the start, each held open on /dev/null so that
nothing the command opens takes its number."""

from __future__ import annotations

import errno
import os
import sys

STDIN_FD = 0
# The standard descriptors, each with the mode /dev/null holds it open in when it was closed.
STANDARD_FDS = {STDIN_FD: os.O_RDONLY, 1: os.O_WRONLY, 2: os.O_WRONLY}
# The standard descriptors found closed at a start; they hold /dev/null since.
closed_at_start: set[int] = set()


def hold_closed_descriptors() -> None:
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
        closed_at_start.add(fd)
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
