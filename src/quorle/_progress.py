"""A one-line progress bar for many files: files done, bytes read and throughput."""

from __future__ import annotations

import time
from typing import Callable, TextIO

BAR_WIDTH = 24
UNITS = ("B", "kB", "MB", "GB", "TB")
UNIT_STEP = 1000.0


def human_bytes(count: float) -> str:
    """`count` bytes in decimal units, three significant figures or so."""
    unit = 0
    while count >= UNIT_STEP and unit < len(UNITS) - 1:
        count /= UNIT_STEP
        unit += 1
    return f"{count:.0f} {UNITS[unit]}" if unit == 0 else f"{count:.1f} {UNITS[unit]}"


def progress_line(files: int, total_files: int, done: int, total: int, seconds: float) -> str:
    """The bar fills by bytes (by files when the files hold no bytes)."""
    share = done / total if total else (files / total_files if total_files else 1.0)
    filled = round(min(max(share, 0.0), 1.0) * BAR_WIDTH)
    rate = human_bytes(done / seconds) + "/s" if seconds > 0 else "-"
    return (
        f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {files}/{total_files} files  "
        f"{human_bytes(done)} of {human_bytes(total)}  {rate}"
    )


class Progress:
    """Redraws its line on `stream` each time a file is done; `close` ends the line."""

    def __init__(
        self, sizes: list[int], stream: TextIO, clock: Callable[[], float] = time.monotonic
    ) -> None:
        self._sizes = sizes
        self._total = sum(sizes)
        self._stream = stream
        self._clock = clock
        self._start = clock()
        self._files = 0
        self._bytes = 0
        self._drawn = False

    def done(self, index: int) -> None:
        self._files += 1
        self._bytes += self._sizes[index]
        line = progress_line(
            self._files, len(self._sizes), self._bytes, self._total,
            self._clock() - self._start,
        )  # fmt: skip
        self._stream.write("\r" + line)
        self._stream.flush()
        self._drawn = True

    def close(self) -> None:
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
