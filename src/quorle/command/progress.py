"""The one-line progress of a run over many files on a terminal: files done, bytes read and
the throughput."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TextIO

from ..loading.progress import MB, StatusLine, bar, rate


def files_line(files: int, total_files: int, done: int, total: int, seconds: float) -> str:
    """The bar fills by bytes, or by files when the files hold none."""
    share = done / total if total else files / max(total_files, 1)
    return (
        f"[{bar(share)}] {files}/{total_files} files  {done / MB:.0f}/{total / MB:.0f} MB"
        f"  {rate(done, seconds)}"
    )


class FilesProgress(StatusLine):
    """Files done, bytes read and throughput of a run over files of the given sizes.
    `clear` takes the line away while other output is printed; `close` leaves the
    final line standing."""

    def __init__(
        self, sizes: list[int], stream: TextIO, clock: Callable[[], float] = time.monotonic
    ) -> None:
        super().__init__(stream)
        self.sizes = sizes
        self.total = sum(sizes)
        self.clock = clock
        self.start = clock()
        self.files = 0
        self.bytes = 0

    def done(self, index: int) -> None:
        self.files += 1
        self.bytes += self.sizes[index]
        self.draw()

    def draw(self) -> None:
        seconds = self.clock() - self.start
        self.show(files_line(self.files, len(self.sizes), self.bytes, self.total, seconds))

    def clear(self) -> None:
        self.erase()

    def close(self) -> None:
        if self.files:
            self.draw()
            self.stream.write("\n")
            self.stream.flush()
            self.shown = 0
            self.files = 0
