"""The rows of a file as quorle's tokenizer reads them, for loading them elsewhere."""

from __future__ import annotations

from collections.abc import Iterator

import quorle_ext

# Rows per batch from the engine: large enough that the call costs nothing per row.
BATCH_ROWS = 20000
READ_CHUNK = 1 << 20


def read_rows(
    path: str, delimiter: str, batch_rows: int = BATCH_ROWS
) -> Iterator[tuple[list[int], list[list[bytes]]]]:
    """Batches of (row start offsets, rows of field bytes), the header row first:
    exactly the rows a pass counts. OSError if the file cannot be opened."""
    try:
        reader = quorle_ext._RowReader(path, delimiter)
    except RuntimeError as e:
        raise OSError(f"{path}: {e}") from None
    while True:
        offsets, rows = reader.next_batch(batch_rows)
        if not rows:
            return
        yield offsets, rows


def line_at(path: str, offset: int) -> int:
    """The 1-based line of the file at a byte offset: CR LF, LF and a lone CR each end one."""
    line, previous = 1, b""
    with open(path, "rb") as f:
        left = offset
        while left > 0:
            chunk = f.read(min(READ_CHUNK, left))
            if not chunk:
                break
            left -= len(chunk)
            line += chunk.count(b"\n") + chunk.count(b"\r") - chunk.count(b"\r\n")
            if previous.endswith(b"\r") and chunk.startswith(b"\n"):
                line -= 1  # a CR LF split between two chunks
            previous = chunk
    return line
