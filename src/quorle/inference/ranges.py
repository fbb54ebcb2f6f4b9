"""One file read as byte ranges, each a task of any concurrent.futures.Executor (a Dask
cluster's, a process pool), with exactly the counts of one sequential pass.

The caller reads the header once. A range after the first assumes its cut is outside quotes
and starts its rows just past the next row end; the range before it reads its last row past
the cut and reports where the next row truly starts. Where the two agree, the later range's
rows are the sequential pass's rows. Where they do not (a quoted line end across the cut),
the later range is read again from the true start. Ranges are merged in file order.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, Future
from typing import Any

import quorle_ext

from .report import HeaderNotText, PassOutput, session_output
from .sessions import PassOptions, open_session
from .tallies import FILE_TALLIES

DEFAULT_CHUNK_SIZE = "256MB"
# Why a file sent to an executor was read on one core here.
RANGE_FAILED = "a range raised an error"
# The engine's answer when the table's types overlap, so that a split would change counts.
OVERLAP_REASON = "the types overlap"
NOT_SPLIT = "not split"

# Units as Dask's parse_bytes reads them: decimal and binary prefixes, any case, with or
# without the final "B" ("k", "kb" and "kB" are 1000, "ki" and "KiB" 1024).
_DECIMAL = {"k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12, "p": 10**15}
BYTE_UNITS = {
    "": 1,
    "b": 1,
    **_DECIMAL,
    **{f"{p}b": v for p, v in _DECIMAL.items()},
    **{f"{p}i": 2 ** (10 * n) for n, p in enumerate("kmgtp", start=1)},
    **{f"{p}ib": 2 ** (10 * n) for n, p in enumerate("kmgtp", start=1)},
}


def parse_bytes(size: int | str) -> int:
    """A chunk size in bytes: a positive int, or a number with a unit ("256MB", "1.5 GiB",
    "64k"; a unit alone is one of it). ValueError otherwise."""
    if isinstance(size, int) and not isinstance(size, bool):
        value = size
    elif isinstance(size, str):
        value = _parse_text(size)
    else:
        raise ValueError(f"chunk_size must be bytes as an int or a text, not {size!r}")
    if value < 1:
        raise ValueError(f"chunk_size must be at least one byte, not {size!r}")
    return value


def _parse_text(text: str) -> int:
    compact = text.replace(" ", "")
    if not compact[:1].isdigit() and not compact[:1] == ".":
        compact = "1" + compact
    split = len(compact)
    while split > 0 and compact[split - 1].isalpha():
        split -= 1
    number, unit = compact[:split], compact[split:].lower()
    try:
        value = float(number)
    except ValueError:
        raise ValueError(f"chunk_size {text!r}: {number!r} is not a number") from None
    if unit not in BYTE_UNITS:
        raise ValueError(f"chunk_size {text!r}: {unit!r} is not a unit of bytes")
    return int(value * BYTE_UNITS[unit])


def infer_range(
    path: str, options: PassOptions, start: int, end: int, names: list[bytes], speculate: bool
) -> dict[str, Any]:
    """A task: the rows of `path` that start in [start, end), classified with the header
    `names`. With `speculate`, `start` is a cut and rows start past the next row end."""
    inf, _ = open_session(options, path)
    return inf._infer_range(start, end, names, speculate)


def plan(first: int, size: int, chunk: int) -> list[tuple[int, int]]:
    """Cuts of [first, size) into ranges of `chunk` bytes, the last one shorter."""
    return [(start, min(start + chunk, size)) for start in range(first, size, chunk)]


def _empty(start: int) -> dict[str, Any]:
    """A range in which no row starts: a row of the range before covers it."""
    return {
        "start": start,
        "next": start,
        "rows": 0,
        "counts": {},
        "row_widths": [],
        "max_lengths": [],
        "examples": [],
        **{
            key: []
            for key in (
                "na_spellings",
                "invalid_utf8",
                "fits_double",
                "fits_int64",
                "int_digits",
                "frac_digits",
            )
        },
        "quirks": {},
        **dict.fromkeys(FILE_TALLIES, 0),
    }


def read_on_executor(
    inf: quorle_ext.Inf, path: str, options: PassOptions, executor: Executor, chunk: int
) -> tuple[PassOutput, str]:
    """The pass over a regular file as ranges on `executor`, and why it was read on one core
    here instead ("" if it was not). RuntimeError as the sequential pass raises it."""
    names, first, lead_in = inf._read_header()
    size = os.stat(path).st_size
    ranges = plan(first, size, chunk)
    if len(ranges) < 2:
        inf.infer_types()
        return session_output(inf, path), NOT_SPLIT
    if not inf._split_exact():
        inf.infer_types()
        return session_output(inf, path), OVERLAP_REASON

    def submit(start: int, end: int, speculate: bool) -> Future:
        return executor.submit(infer_range, path, options, start, end, names, speculate)

    try:
        parts = _verified(ranges, submit)
    except Exception as exc:
        # The sequential pass raises the error a range met, if the engine raised it; if a
        # worker died instead, the file is still read.
        inf.infer_types()
        return session_output(inf, path), f"{RANGE_FAILED} ({type(exc).__name__}: {exc})"
    return merge(parts, names, options.examples, path, lead_in), ""


def _verified(
    ranges: list[tuple[int, int]], submit: Callable[[int, int, bool], Future]
) -> list[dict[str, Any]]:
    """Every range's result, each starting exactly where the one before ended."""
    futures = [submit(start, end, index > 0) for index, (start, end) in enumerate(ranges)]

    def reread(index: int, start: int) -> dict[str, Any]:
        # The cut fell inside a quoted field: read the range again from the true start.
        end = ranges[index][1]
        return _empty(start) if start >= end else submit(start, end, False).result()

    try:
        parts = [future.result() for future in futures]
        quorle_ext._chain_ranges(parts, reread)
    finally:
        for future in futures:
            future.cancel()
    return parts


def merge(
    parts: Sequence[dict[str, Any]],
    names: list[bytes],
    examples_per_type: int,
    path: str,
    lead_in: dict[str, Any],
) -> PassOutput:
    """The ranges' results in file order as one pass's: counts and rows summed, and the
    extras merged by the engine as a split pass merges its own, the tallies of reading up
    to the first data row (`lead_in`) first."""
    try:
        decoded = [name.decode("utf-8") for name in names]
    except UnicodeDecodeError:
        raise HeaderNotText(f"{path}: the header is not valid UTF-8") from None
    candidates: dict[str, dict[str, int]] = {}
    for part in parts:
        for name, counts in part["counts"].items():
            column = candidates.setdefault(name.decode("utf-8"), {})
            for kind, count in counts.items():
                column[kind] = column.get(kind, 0) + count
    extras = quorle_ext._merge_extras([lead_in, *parts], len(names), examples_per_type)
    return PassOutput(decoded, candidates, sum(p["rows"] for p in parts), extras)
