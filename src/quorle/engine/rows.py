"""The rows of a file as quorle's tokenizer reads them, for loading them elsewhere.

The file is read as a pass reads it: decompressed when its first bytes show
gzip, zstd, bzip2 or xz, transcoded to UTF-8 from `encoding`, its preamble
lines skipped and blank and comment rows skipped as the reading settings say.
Row offsets count in that decoded text."""

from __future__ import annotations

from array import array
from collections import deque
from collections.abc import Callable, Collection, Iterator, Mapping, Sequence
from typing import Any

import quorle_ext

from . import archives

# Rows per batch from the engine: large enough that the call costs nothing per row.
BATCH_ROWS = 20000
# Row starts a load keeps for naming a failed row's line (8 MB). An older row's start is
# found by reading the file again, so that memory stays flat however long the file is.
RECENT_ROWS = 1 << 20


class Misfit(ValueError):
    """A field that does not fit its column's format: its row's start offset, its position
    and its bytes (cut)."""

    def __init__(self, offset: int, column: int, text: bytes) -> None:
        super().__init__(offset, column, text)
        self.offset, self.column, self.text = offset, column, text


def read_rows(
    path: str,
    delimiter: str,
    batch_rows: int = BATCH_ROWS,
    *,
    encoding: str = "utf-8",
    skip_blank_lines: bool = False,
    header: bool = True,
    skip_lines: int = 0,
    comment: str = "",
    formats: Sequence[Mapping[str, Any] | None] = (),
    na_values: Collection[str] = (),
) -> Iterator[tuple[list[int], list[list[bytes]]]]:
    """Batches of (row start offsets, rows of field bytes): exactly the rows a pass
    counts, the header row first (with `header=False` the first row is data, and
    is yielded all the same). `formats`: per position, the format whose fields are
    converted to their values (missing values, `na_values`, stay as written); Misfit
    after the rows before the first field that does not fit. OSError naming the file if
    it cannot be opened or its stream is corrupt or truncated; ValueError for an encoding
    that cannot be used."""
    file, member = archives.for_engine(path)
    try:
        # Paths go to the engine as bytes: a name that is not UTF-8 reaches it unchanged.
        reader = quorle_ext._RowReader(
            file, delimiter, encoding=encoding, skip_blank_lines=skip_blank_lines,
            header=header, skip_lines=skip_lines, comment=comment, member=member,
        )  # fmt: skip
    except RuntimeError as e:
        raise OSError(f"{path}: {e}") from None
    if any(f is not None for f in formats):
        reader.set_formats([None if f is None else dict(f) for f in formats], set(na_values))
    while True:
        offsets, rows = reader.next_batch(batch_rows)
        if not rows:
            if reader.misfit is not None:
                raise Misfit(*reader.misfit)
            return
        yield offsets, rows


def line_at(path: str, offset: int, *, encoding: str = "utf-8") -> int:
    """The 1-based line at a row offset the readers report (CR LF, LF and a lone CR
    each end one), counted on the file decoded as they read it."""
    file, member = archives.for_engine(path)
    return quorle_ext._line_at(file, offset, encoding=encoding, member=member)


class RowStarts:
    """The start offsets of a file's data rows as they are read (row n is the n-th data
    row, from 1), for naming the line of a row that failed. Only the latest RECENT_ROWS
    are kept: `at` asks `find_older` for an earlier one, a cost only an error pays."""

    def __init__(self, find_older: Callable[[int], int | None] | None) -> None:
        self._find_older = find_older
        self._batches: deque[tuple[int, Sequence[int]]] = deque()  # (first row, starts)
        self._kept = 0
        self.rows = 0

    def add(self, starts: Sequence[int]) -> None:
        """The next rows' starts, in file order."""
        if not starts:
            return
        self._batches.append((self.rows + 1, starts))
        self.rows += len(starts)
        self._kept += len(starts)
        while self._kept - len(self._batches[0][1]) >= RECENT_ROWS:
            self._kept -= len(self._batches.popleft()[1])

    def at(self, row: int) -> int | None:
        """Row `row`'s start, or None for a row not read, or one that cannot be found."""
        if not 0 < row <= self.rows:
            return None
        for first, starts in reversed(self._batches):
            if row >= first:
                return starts[row - first]
        return self._find_older(row) if self._find_older else None


def row_start(
    path: str, delimiter: str, row: int, *, batch_rows: int = BATCH_ROWS, **reading: object
) -> int | None:
    """Data row `row`'s start offset, read again from the file's start as the encoder
    reads it (the `reading` settings of read_rows); None past the end or a faulty row."""
    file, member = archives.for_engine(path)
    encoder = quorle_ext._RowEncoder(file, delimiter, set(), True, True, member=member, **reading)
    seen = 0
    while True:
        rows, _payload, batch = encoder.encode(batch_rows)
        starts = array("q")
        starts.frombytes(batch)
        if row <= seen + len(starts):
            return starts[row - seen - 1]
        if rows == 0 or encoder.fault[0]:
            return None
        seen += rows
