"""One file's rows into a table that is ready for them: read by quorle's tokenizer as the pass
read them, and a row the database refuses reported by its file, line and column."""

from __future__ import annotations

import os
import stat
import sys
from array import array
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any

import quorle_ext

from ..engine import archives
from ..engine.rows import Misfit, RowStarts, line_at, read_rows, row_start
from ..inference.hygiene import BOM, printable
from ..sql.identifiers import quote
from ..sql.statements import file_stamp
from ..sql.tables import Column, Table
from . import encoders
from .databases import Database, RowFailed
from .load_errors import LoadError
from .plan import shown_path
from .progress import ProgressBar
from .schema_file import STDIN

# What reads standard input once more when a schema says it is "-".
STDIN_PATH = "/dev/stdin"
BATCH_ROWS = 20000
CANONICAL_CSV = "canonical_csv"
# Faults the engine's encoder stops at (RowEncoder::Fault).
FAULT_LONG_ROW, FAULT_NUL, FAULT_NOT_UTF8, FAULT_MISFIT = 1, 2, 3, 4


@dataclass(frozen=True)
class Source:
    path: str  # as named
    read: str  # what is opened
    delimiter: str
    ignore_extra: bool
    # How the pass read the rows (FileResult.reading): header, skip_lines, comment and
    # skip_blank_lines, as read_rows takes them.
    reading: Mapping[str, Any]
    encoding: str = "utf-8"  # the text's, transcoded to UTF-8 as the pass did

    @property
    def rereadable(self) -> bool:
        """Whether its lines can be counted again: a regular file (standard input too, when
        it is one: a spooled copy, or a file it was redirected from)."""
        try:
            return stat.S_ISREG(os.stat(archives.locate(self.read)[0]).st_mode)
        except OSError:
            return False


def load_file(
    db: Database, t: Table, path: str, delimiter: str, ignore_extra: bool, progress: bool
) -> None:
    source = STDIN_PATH if path == STDIN else path
    fill = _fill_encoded if db.bulk_format else _fill_rows
    src = Source(
        shown_path(path), source, delimiter, ignore_extra, t.reading_of(path), t.encoding_of(path)
    )
    bar = _progress_bar(src) if progress else None
    offsets = RowStarts(lambda row: _find_row(src, row))
    try:
        db.open_file(t)
        fill(db, t, src, offsets, bar)
        db.close_file()
    except RowFailed as e:
        where = _where(src, offsets, e.row)
        column = f", column {e.column}" if e.column else ""
        raise LoadError(f"{where}{column}: {e}: nothing loaded") from None
    finally:
        if bar is not None:
            bar.close()


def _find_row(src: Source, row: int) -> int | None:
    return row_start(src.read, src.delimiter, row, **_reading(src))


def _reading(src: Source) -> dict[str, Any]:
    """How the row reader and encoder must read the file to see the rows the pass counted."""
    return {
        "encoding": src.encoding,
        "skip_blank_lines": bool(src.reading.get("skip_blank_lines", False)),
        "header": bool(src.reading.get("header", True)),
        "skip_lines": int(src.reading.get("skip_lines", 0)),
        "comment": src.reading.get("comment") or "",
    }


def _fill_rows(
    db: Database, t: Table, src: Source, offsets: RowStarts, bar: ProgressBar | None
) -> None:
    """Rows as Python values (SQLite): converted here, bound as parameters."""
    reading = _reading(src)
    formats = [c.format for c in t.columns]
    batches = read_rows(src.read, src.delimiter, **reading, formats=formats, na_values=t.na_values)
    try:
        _fill_batches(db, t, src, offsets, bar, batches, reading["header"])
    except Misfit as e:
        raise _misfit(src, t, db.dialect, e) from None


def _fill_batches(
    db: Database,
    t: Table,
    src: Source,
    offsets: RowStarts,
    bar: ProgressBar | None,
    batches: Iterator[tuple[list[int], list[list[bytes]]]],
    header: bool,
) -> None:
    number = 0  # data rows so far
    width = len(t.columns)
    for index, (batch_offsets, rows) in enumerate(batches):
        if index == 0 and header:
            _check_header(src.path, rows[0], t)
            batch_offsets, rows = batch_offsets[1:], rows[1:]
        offsets.add(array("q", batch_offsets))
        prepared, long_row = _as_wide(rows, width, src.ignore_extra)
        try:
            db.write(prepared, number + 1)
        except encoders.FieldError as e:
            row, column = number + 1 + e.row, t.columns[e.column]
            if e.not_utf8 is not None:
                raise _not_utf8(src, offsets, row, column, db.dialect, e.not_utf8) from None
            raise _field_error(src, offsets, row, column, str(e)) from None
        if long_row is not None:
            raise _long_row(src, offsets, number + 1 + long_row, width)
        number += len(rows)
        if bar is not None and batch_offsets:
            bar.update(batch_offsets[-1], number)


def _fill_encoded(
    db: Database, t: Table, src: Source, offsets: RowStarts, bar: ProgressBar | None
) -> None:
    """Rows encoded by the engine in the database's bulk format."""
    reading = _reading(src)
    try:
        file, member = archives.for_engine(src.read)
        encoder = quorle_ext._RowEncoder(
            file, src.delimiter, set(t.na_values),
            db.bulk_format == CANONICAL_CSV, src.ignore_extra, member=member, **reading,
        )  # fmt: skip
    except RuntimeError as e:
        raise LoadError(f"{src.path}: cannot be read ({e}): nothing loaded") from None
    if any(c.format is not None for c in t.columns):
        encoder.set_formats([None if c.format is None else dict(c.format) for c in t.columns])
    if reading["header"]:
        _check_header(src.path, encoder.header, t)
    while True:
        rows, payload, starts = encoder.encode(BATCH_ROWS)
        batch = array("q")
        batch.frombytes(starts)
        offsets.add(batch)
        if rows:
            db.write_encoded(payload, encoder.longest_row)
        kind, row, column = encoder.fault
        if kind:
            # The database takes the rows before it first: a value it refuses earlier in
            # the file is the one reported.
            db.close_file()
            if kind == FAULT_MISFIT:
                raise _misfit(src, t, db.dialect, Misfit(*encoder.misfit))
            raise _fault(src, offsets, t, db.dialect, (kind, row, column))
        if rows == 0:
            return
        if bar is not None:
            bar.update(encoder.bytes_read, offsets.rows)


def _fault(
    src: Source, offsets: RowStarts, t: Table, dialect: str, fault: tuple[int, int, int]
) -> LoadError:
    kind, row, column = fault
    if kind == FAULT_LONG_ROW:
        return _long_row(src, offsets, row, len(t.columns))
    if kind == FAULT_NOT_UTF8:
        field = _field_at(src, row, column)
        return _not_utf8(src, offsets, row, t.columns[column], dialect, field)
    why = f"a NUL byte cannot be stored in {dialect} text"
    return _field_error(src, offsets, row, t.columns[column], why)


def _field_at(src: Source, row: int, column: int) -> bytes | None:
    """Data row `row`'s field in `column`, read again from the file's start (a cost only an
    error pays, as the encoder keeps no refused field); None where it cannot be read again."""
    if not src.rereadable:
        return None
    reading = _reading(src)
    before = row if reading["header"] else row - 1  # the rows read before it
    try:
        for _starts, rows in read_rows(src.read, src.delimiter, **reading):
            if before < len(rows):
                fields = rows[before]
                return fields[column] if column < len(fields) else None
            before -= len(rows)
    except (OSError, RuntimeError, ValueError):
        pass  # gone since: the message goes without the bytes
    return None


def _not_utf8(
    src: Source, offsets: RowStarts, row: int, column: Column, dialect: str, field: bytes | None
) -> LoadError:
    """The one message of every database for a field that is not UTF-8."""
    place = _place(src, offsets, row)
    where = f"{place}, " if place else ""
    return LoadError(
        f"{src.path}: {where}column {quote(column.name, dialect)}: {encoders.not_utf8(field)}:"
        " nothing loaded"
    )


def _long_row(src: Source, offsets: RowStarts, row: int, width: int) -> LoadError:
    return LoadError(
        f"{_where(src, offsets, row)}: a row longer than the header ({width} fields);"
        " --ignore-extra-fields drops the extra fields, and if the first lines are not the"
        " header, --skip-lines N skips them: nothing loaded"
    )


def _as_wide(
    rows: list[list[bytes]], width: int, ignore_extra: bool
) -> tuple[list[list[bytes | None]], int | None]:
    """The rows, each as wide as the table (a short row padded with None), up to the
    first row longer than the table unless extra fields are dropped; and that row's
    index, or None. The rows before it are written first, so that an earlier value the
    database refuses is the one reported."""
    for i, row in enumerate(rows):
        if len(row) == width:
            continue
        if len(row) < width:
            row.extend([None] * (width - len(row)))  # type: ignore[list-item]
        elif ignore_extra:
            del row[width:]
        else:
            return rows[:i], i  # type: ignore[return-value]
    return rows, None  # type: ignore[return-value]


def _check_header(path: str, header: list[bytes], t: Table) -> None:
    cells = [cell.decode("utf-8", "replace") for cell in header]
    if cells:
        cells[0] = cells[0].removeprefix(BOM)
    want = [c.header for c in t.columns]
    # The pass names an empty header cell itself, so an empty cell matches any name.
    same = len(cells) == len(want) and all(c in ("", w) for c, w in zip(cells, want, strict=True))
    if not same:
        raise LoadError(
            f"{path}: the header is not the one the schema was made for: nothing loaded"
        )


def _where(src: Source, offsets: RowStarts, row: int | None) -> str:
    """'FILE, line N' for a data row (1-based), or the row number where lines cannot be
    counted again (standard input, a pipe)."""
    place = _place(src, offsets, row)
    return f"{src.path}, {place}" if place else src.path


def _place(src: Source, offsets: RowStarts, row: int | None) -> str:
    """'line N' (1-based) of a data row, 'data row N' where lines cannot be counted again;
    "" for no row."""
    if row is None or not 0 < row <= offsets.rows:
        return ""
    # A pipe opened again would wait for a writer, or give what is left of its text.
    start = offsets.at(row) if src.rereadable else None
    if start is None:
        return f"data row {row}"
    return f"line {line_at(src.read, start, encoding=src.encoding)}"


def _misfit(src: Source, t: Table, dialect: str, e: Misfit) -> LoadError:
    """A field that does not fit its column's format, by its line where it can be counted."""
    column = t.columns[e.column]
    line = line_at(src.read, e.offset, encoding=src.encoding) if src.rereadable else None
    where = f"{src.path}, line {line}" if line is not None else src.path
    written = (column.format or {}).get("name", "its format")
    text = printable(e.text.decode("utf-8", "backslashreplace"))
    return LoadError(
        f"{where}, column {quote(column.name, dialect)}: {text!r} is not written as {written}:"
        " nothing loaded"
    )


def _field_error(
    src: Source, offsets: RowStarts, row: int, column: Column, message: str
) -> LoadError:
    return LoadError(
        f"{_where(src, offsets, row)}, column {column.name}: {message}: nothing loaded"
    )


def _progress_bar(src: Source) -> ProgressBar | None:
    if not sys.stderr.isatty():
        return None
    size = file_stamp(src.read)["size"]  # None for a pipe
    if not size:
        return None
    bar = ProgressBar(printable(src.path), size, sys.stderr)
    bar.update(0, 0)
    return bar
