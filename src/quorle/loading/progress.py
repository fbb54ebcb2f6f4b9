"""A one-line progress bar on a terminal: by bytes read of one file, with its rows when they
are counted and the throughput.

A few lines of our own: the command needs one bar fed with byte offsets from
outside the process, which no dependency is worth for.
"""

from __future__ import annotations

import os
import time
from typing import TextIO

BAR_WIDTH = 30
MB = 1e6
LABEL_WIDTH = 30
DEFAULT_COLUMNS = 80


def bar(share: float) -> str:
    filled = int(min(max(share, 0.0), 1.0) * BAR_WIDTH)
    return "#" * filled + "." * (BAR_WIDTH - filled)


class StatusLine:
    """One line that is redrawn in place with carriage returns."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.shown = 0

    def show(self, line: str) -> None:
        # A line wider than the terminal wraps, and a carriage return no longer redraws it.
        line = line[: _columns(self.stream) - 1]
        self.stream.write("\r" + line.ljust(self.shown))
        self.stream.flush()
        self.shown = len(line)

    def erase(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * self.shown + "\r")
            self.stream.flush()
            self.shown = 0


def _columns(stream: TextIO) -> int:
    """The terminal's width; DEFAULT_COLUMNS when it is not known (a new pty says 0)."""
    try:
        columns = os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, OSError, ValueError):
        return DEFAULT_COLUMNS
    return columns or DEFAULT_COLUMNS


def rate(done: int, seconds: float) -> str:
    return f"{done / seconds / MB:.1f} MB/s" if seconds > 0 else "- MB/s"


def file_line(label: str, done: int, total: int, seconds: float, rows: int | None = None) -> str:
    """One file's bar by bytes read, with the throughput and, when counted, the rows."""
    share = min(done / max(total, 1), 1.0)
    counted = f"  {rows:,} rows" if rows is not None else ""
    return (
        f"{label} [{bar(share)}] {share:4.0%} {done / MB:.0f}/{total / MB:.0f} MB"
        f"  {rate(done, seconds)}{counted}"
    )


class ProgressBar(StatusLine):
    def __init__(self, label: str, total: int, stream: TextIO) -> None:
        super().__init__(stream)
        if len(label) > LABEL_WIDTH:
            label = "..." + label[-(LABEL_WIDTH - 3) :]
        self.label = label
        self.total = total
        self.start = time.monotonic()

    def update(self, done: int, rows: int | None = None) -> None:
        seconds = time.monotonic() - self.start
        self.show(file_line(self.label, done, self.total, seconds, rows))

    def close(self) -> None:
        self.erase()
