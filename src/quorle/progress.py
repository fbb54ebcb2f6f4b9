"""A one-line progress bar on a terminal, by bytes read.

A few lines of our own: the command needs one bar fed with byte offsets from
outside the process, which no dependency is worth for.
"""

from __future__ import annotations

from typing import TextIO

BAR_WIDTH = 30
MB = 1e6
LABEL_WIDTH = 30


class ProgressBar:
    def __init__(self, label: str, total: int, stream: TextIO) -> None:
        if len(label) > LABEL_WIDTH:
            label = "..." + label[-(LABEL_WIDTH - 3) :]
        self.label = label
        self.total = max(total, 1)
        self.stream = stream
        self.shown = 0

    def update(self, done: int) -> None:
        share = min(done / self.total, 1.0)
        filled = int(share * BAR_WIDTH)
        bar = "#" * filled + "." * (BAR_WIDTH - filled)
        line = f"{self.label} [{bar}] {share:4.0%} {done / MB:.0f}/{self.total / MB:.0f} MB"
        self.stream.write("\r" + line.ljust(self.shown))
        self.stream.flush()
        self.shown = len(line)

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * self.shown + "\r")
            self.stream.flush()
            self.shown = 0
