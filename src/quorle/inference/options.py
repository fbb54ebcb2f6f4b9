"""The options of a pass, checked once where they enter the package (an API call or the
command line) and passed inward as one value that every path reads the same way: one core,
threads, byte ranges on an executor, many files, streams."""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import Any

from ..engine import sources
from . import hygiene, ranges
from .patterns import DEFAULT_NA_VALUES, PatternsArg, PatternTable, resolve_patterns

DEFAULT_WINDOW = 100000
MAX_WINDOW = 2**31 - 1
# Bytes a comment mark cannot be: the tokenizer gives them a meaning of their own.
REFUSED_COMMENTS = {
    '"': "the quote character",
    "\r": "a line end",
    "\n": "a line end",
    "\0": "a NUL byte",
}


def check_window(window: int) -> int:
    if isinstance(window, bool) or not isinstance(window, int) or not 0 <= window <= MAX_WINDOW:
        raise ValueError(f"window must be an integer from 0 to {MAX_WINDOW}, not {window!r}")
    return window


def check_jobs(jobs: int | None) -> int | None:
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be None or an integer of 1 or more, not {jobs!r}")
    return jobs


def check_skip_lines(skip_lines: int) -> int:
    """Physical lines to skip before the header: an int of 0 or more."""
    if isinstance(skip_lines, bool) or not isinstance(skip_lines, int) or skip_lines < 0:
        raise ValueError(
            f"skip_lines (--skip-lines) must be an integer of 0 or more, not {skip_lines!r}"
        )
    return skip_lines


def check_comment(comment: str | None, delimiter: str = hygiene.AUTO) -> str | None:
    """The mark of a comment line: one byte in UTF-8 (an ASCII character) that is none of
    the delimiter, the quote, a line end or NUL; None (or "") for no comments."""
    if comment is None or comment == "":
        return None
    if not isinstance(comment, str) or len(comment.encode("utf-8", "surrogatepass")) != 1:
        raise ValueError(
            f"comment (--comment) {comment!r}: must be one character of one byte (ASCII)"
        )
    if comment in REFUSED_COMMENTS:
        raise ValueError(f"comment (--comment) {comment!r}: cannot be {REFUSED_COMMENTS[comment]}")
    if comment == delimiter:
        raise ValueError(
            f"comment (--comment) {comment!r}: cannot be the delimiter (--delimiter) as well"
        )
    return comment


DATE_ORDERS = ("dmy", "mdy", "ymd")
DECIMAL_MARKS = (".", ",")


def _check_choice(name: str, value: Any, choices: tuple[str, ...]) -> None:
    if value is not None and value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(choices)}, not {value!r}")


def _check_flag(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"{name} must be True or False, not {value!r}")
    return value


def _na_set(na_values: Iterable[str] | None) -> frozenset[str] | None:
    if na_values is None:
        return None
    if isinstance(na_values, (str, bytes)):
        raise TypeError("na_values must be an iterable of strings, not one string")
    values = frozenset(na_values)
    if not all(isinstance(v, str) for v in values):
        raise TypeError("na_values must be strings")
    return values


@dataclass(frozen=True)
class Options:
    """Every option of `quorle.infer` but the input and the types file, checked on
    construction (ValueError or TypeError naming the option) and normalised: `patterns`
    becomes a PatternTable, `na_values` a frozenset (None: the default set), `chunk_size`
    bytes, `comment` None for none. None for `encoding` is UTF-8 unless a UTF-16 or UTF-32
    byte order mark says otherwise, and for `skip_lines` the lines the first block shows
    are above the header: options given are followed to the letter. Picklable, so that
    workers on other machines get it; the executor stays here (a worker is never sent one)."""

    patterns: PatternsArg = None
    na_values: Iterable[str] | None = None
    delimiter: str = hygiene.AUTO
    window: int = DEFAULT_WINDOW
    extras: bool = False
    priority: bool = False
    encoding: str | None = None
    # How rows are read: the first row is the header, lines skipped before it, the mark of
    # comment lines, and whether blank lines are kept (None: only in a one-column file).
    header: bool = True
    skip_lines: int | None = None
    comment: str | None = None
    keep_blank_lines: bool | None = None
    # Which of a type's formats wins where every field fits several: a date order ("dmy",
    # "mdy", "ymd") and a decimal mark ("." or ","); they never overrule the fields.
    date_order: str | None = None
    decimal_mark: str | None = None
    # How one file is spread: threads here, or byte ranges on an executor.
    jobs: int | None = None
    executor: Executor | None = field(default=None, compare=False)
    chunk_size: int | str = ranges.DEFAULT_CHUNK_SIZE

    def __post_init__(self) -> None:
        if self.executor is not None and self.jobs is not None:
            raise ValueError(
                "give jobs or an executor, not both: jobs counts threads of this machine"
            )
        check_jobs(self.jobs)
        self._set("chunk_size", ranges.parse_bytes(self.chunk_size))
        self._set("patterns", resolve_patterns(self.patterns))
        self._set("na_values", _na_set(self.na_values))
        check_window(self.window)
        if self.delimiter != hygiene.AUTO:
            hygiene.check_delimiter(self.delimiter)
        if self.encoding is not None:
            sources.check_encoding(self.encoding)
        for name in ("extras", "priority", "header"):
            _check_flag(name, getattr(self, name))
        if self.keep_blank_lines is not None:
            _check_flag("keep_blank_lines", self.keep_blank_lines)
        if self.skip_lines is not None:
            check_skip_lines(self.skip_lines)
        self._set("comment", check_comment(self.comment, self.delimiter))
        _check_choice("date_order (--date-order)", self.date_order, DATE_ORDERS)
        _check_choice("decimal_mark (--decimal-mark)", self.decimal_mark, DECIMAL_MARKS)

    def _set(self, name: str, value: Any) -> None:
        object.__setattr__(self, name, value)

    @property
    def na(self) -> frozenset[str]:
        """The texts that count as missing."""
        return DEFAULT_NA_VALUES if self.na_values is None else frozenset(self.na_values)

    @property
    def tie_breakers(self) -> dict[str, str]:
        """The options given that choose between formats, by name."""
        given = {"date_order": self.date_order, "decimal_mark": self.decimal_mark}
        return {name: value for name, value in given.items() if value is not None}

    @property
    def table(self) -> PatternTable:
        assert isinstance(self.patterns, PatternTable)
        return self.patterns

    def replace(self, **changes: Any) -> Options:
        """A copy with `changes`, checked again."""
        return dataclasses.replace(self, **changes)

    def reading(self, header: bool, skip_lines: int, skip_blank_lines: bool) -> dict[str, Any]:
        """How the rows were read, as a FileResult and a schema record it (JSON-friendly):
        with the header, the lines skipped and blank lines as the first block decided."""
        return {
            "header": header,
            "skip_lines": skip_lines,
            "comment": self.comment,
            "skip_blank_lines": skip_blank_lines,
        }
