"""The rows of a file as quorle's tokenizer reads them, for loading them elsewhere.

The file is read as a pass reads it: decompressed when its first bytes show
gzip, zstd, bzip2 or xz, transcoded to UTF-8 from `encoding`, its preamble
lines skipped and blank and comment rows skipped as the reading settings say.
Row offsets count in that decoded text."""

from __future__ import annotations

from collections.abc import Iterator

import quorle_ext

# Rows per batch from the engine: large enough that the call costs nothing per row.
BATCH_ROWS = 20000


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
) -> Iterator[tuple[list[int], list[list[bytes]]]]:
    """Batches of (row start offsets, rows of field bytes): exactly the rows a pass
    counts, the header row first (with `header=False` the first row is data, and
    is yielded all the same). OSError naming the file if it cannot be opened or its
    stream is corrupt or truncated; ValueError for an encoding that cannot be used."""
    try:
        reader = quorle_ext._RowReader(
            path, delimiter, encoding=encoding, skip_blank_lines=skip_blank_lines,
            header=header, skip_lines=skip_lines, comment=comment,
        )  # fmt: skip
    except RuntimeError as e:
        raise OSError(f"{path}: {e}") from None
    while True:
        offsets, rows = reader.next_batch(batch_rows)
        if not rows:
            return
        yield offsets, rows


def line_at(path: str, offset: int, *, encoding: str = "utf-8") -> int:
    """The 1-based line at a row offset the readers report (CR LF, LF and a lone CR
    each end one), counted on the file decoded as they read it."""
    return quorle_ext._line_at(path, offset, encoding=encoding)
