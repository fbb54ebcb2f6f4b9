"""The quorle Python interface"""

from typing import Any, Callable, Dict, List, Optional, Set, Tuple

class _Pybind11Type(type): ...

# Raises RuntimeError when the expression does not compile as a pattern table's.
def _check_expression(expression: str) -> None: ...

class Inf(metaclass=_Pybind11Type):
    def __init__(
        self,
        filepath: str,
        delimiter: str,
        col_type_patterns: Dict[str, List[str]],
        na_values: Set[str],
        multithreading: bool,
        save_types_file: bool,
        types_filepath: str,
        rolling_cache_window: int,
    ) -> None: ...
    def infer_types(self) -> None: ...
    def set_col_type_patterns(self, arg0: Dict[str, List[str]], /) -> None: ...
    def set_na_values(self, arg0: Set[str], /) -> None: ...
    def set_filepath(self, arg0: str, /) -> None: ...
    def set_delimiter(self, arg0: str, /) -> None: ...
    def set_multithreading(self, arg0: bool, /) -> None: ...
    def set_save_types_file(self, arg0: bool, /) -> None: ...
    def set_types_filepath(self, arg0: str, /) -> None: ...
    def set_rolling_cache_window(self, arg0: int, /) -> None: ...
    def get_col_type_patterns(self) -> Dict[str, List[str]]: ...
    def get_na_values(self) -> Set[str]: ...
    def get_filepath(self) -> str: ...
    def get_delimiter(self) -> str: ...
    def get_multithreading(self) -> bool: ...
    def get_save_types_file(self) -> bool: ...
    def get_types_filepath(self) -> str: ...
    def get_rolling_cache_window(self) -> int: ...
    def get_col_type_candidates(self) -> Dict[str, Dict[str, int]]: ...
    def _type_overlaps(self) -> Optional[List[Tuple[str, str]]]: ...
    # Per text, the type name, "NA" or "other" it gets when classified alone.
    def _match_texts(self, texts: List[str]) -> List[str]: ...
    # Whether an expression of the type `name` matches one of the texts whole,
    # whatever the other types; False for a name the table does not have.
    def _type_matches(self, name: str, texts: List[str]) -> bool: ...
    @property
    def num_rows(self) -> int: ...
    @property
    def col_names(self) -> List[str]: ...
    def _set_extras(self, examples_per_type: int) -> None: ...
    # Keys: "row_widths", "max_lengths", "examples"; "blank_lines",
    # "comment_lines", "skipped_lines" (ints, counted whenever the reading
    # settings skip), "blank_rows" (blank lines read as rows, the header
    # included; counted always); per header position "na_spellings" ({spelling: count}),
    # "invalid_utf8" (int), "fits_double" and "fits_int64" (bool);
    # "untitled_cells": the header positions whose cell was empty; "quirks":
    # {"mid_field_quotes", "text_after_quote", "copy_end_lines" (rows of the
    # one field `\.` and lines holding only `\.` in quoted fields),
    # "quoted_line_ends", "line_ends":
    # {"lf", "crlf", "cr"}, "nul_bytes", "unclosed_quote"}. Empty or zero
    # when off.
    def _extras(self) -> Dict[str, Any]: ...
    # How rows are read, from the next pass; the defaults read as today.
    # Raises ValueError for a comment longer than one byte or the quote.
    def _set_reading(
        self, skip_blank_lines: bool, header: bool, skip_lines: int, comment: str
    ) -> None: ...
    # Type names whose fields are checked for "fits_double"/"fits_int64".
    def _set_numeric_checks(self, doubles: List[str], integers: List[str]) -> None: ...
    # Per type name its alternative formats (dicts as _format_regex takes),
    # from the next pass; {} turns them off. While set, every pass fills the
    # extras' "formats", the other extras on or not: per header position
    # {type: {"fits": [bool per alternative], "ruled_out": [None | (row
    # offset, text cut at 200 bytes)]}} for the types seen there. Names the
    # table lacks are ignored; ValueError for a bad format or over 64 of them.
    def _set_formats(self, formats: Dict[str, List[Dict[str, Any]]]) -> None: ...
    # The split pass. A range's dict merges across ranges in file order:
    # "rows", "counts", "row_widths", "blank_lines", "comment_lines", "blank_rows",
    # "na_spellings", "invalid_utf8" and the quirks add up ("unclosed_quote"
    # takes the maximum), "max_lengths" takes the maximum, "fits_double" and
    # "fits_int64" AND, "examples" keeps each type's first distinct texts (up
    # to the extras setting) in range order, "formats" ANDs "fits" and keeps
    # the earliest range's "ruled_out" entry. "skipped_lines" and the header
    # row's quirks are not in any range's dict. "next" of one range must equal "start"
    # of the following one; otherwise that one is read again from "next"
    # with speculate=False.
    def _split_exact(self) -> bool: ...
    def _infer_split(self, threads: int, keep_cache: bool = True) -> str: ...
    # _infer_split that lets other Python threads run (threads=1: infer_types' pass,
    # returning ""): progress gets the bytes read, and a signal handler that raises
    # (on the main thread) or progress.cancel() (raising _Cancelled) stops it
    # within a block, leaving the session as any failed pass does.
    def _infer_released(
        self, threads: int, keep_cache: bool = True, progress: Optional[_Progress] = None
    ) -> str: ...
    def _read_header(self) -> Tuple[List[bytes], int, Dict[str, Any]]: ...
    def _infer_range(
        self, start: int, end: int, names: List[bytes], speculate: bool
    ) -> Dict[str, Any]: ...
    def _fresh(self, filepath: str) -> "Inf": ...
    # Input decoding: gzip, zstd, bzip2 and xz told by their first bytes
    # when decompress is set; an encoding other than UTF-8 (an iconv name)
    # transcoded; member: the member of a zip archive a pass reads (the file
    # must then be one). "compression" and "bytes_read" are the latest pass's.
    def _set_input(self, decompress: bool, encoding: str, member: str = "") -> None: ...
    def _input_info(self) -> Dict[str, Any]: ...

class _InputError(OSError): ...
class _StreamError(RuntimeError): ...
class _TypesFileError(RuntimeError): ...
class _Cancelled(RuntimeError): ...

# What another thread may read of a pass and ask of it; one object per pass.
class _Progress(metaclass=_Pybind11Type):
    def __init__(self) -> None: ...
    # Bytes of the file read so far (a split pass counts a few twice).
    @property
    def bytes_read(self) -> int: ...
    def cancel(self) -> None: ...

class _RowReader(metaclass=_Pybind11Type):
    def __init__(
        self,
        path: str,
        delimiter: str,
        *,
        encoding: str = "utf-8",
        skip_blank_lines: bool = False,
        header: bool = True,
        skip_lines: int = 0,
        comment: str = "",
        member: str = "",
    ) -> None: ...
    @property
    def bytes_read(self) -> int: ...
    def next_batch(self, max_rows: int) -> Tuple[List[int], List[List[bytes]]]: ...

class _RowEncoder(metaclass=_Pybind11Type):
    def __init__(
        self,
        path: str,
        delimiter: str,
        na_values: Set[str],
        canonical_csv: bool,
        ignore_extra_fields: bool,
        *,
        encoding: str = "utf-8",
        skip_blank_lines: bool = False,
        header: bool = True,
        skip_lines: int = 0,
        comment: str = "",
        member: str = "",
    ) -> None: ...
    @property
    def header(self) -> List[bytes]: ...
    @property
    def width(self) -> int: ...
    @property
    def bytes_read(self) -> int: ...
    @property
    def longest_row(self) -> int: ...
    def encode(self, max_rows: int) -> Tuple[int, bytes, bytes]: ...
    @property
    def fault(self) -> Tuple[int, int, int]: ...

def _line_at(path: str, offset: int, *, encoding: str = "utf-8", member: str = "") -> int: ...

# A sniffing sample's physical lines, line ends included (LF, CRLF or CR end
# a line), and whether a reader passes over one before the header: a line of
# nothing but its end, or one starting with `comment` ("": none).
def _physical_lines(text: str) -> List[str]: ...
def _passed_over(line: str, comment: str) -> bool: ...

# A pattern file's format (a dict with "pattern" and "pivot_year" for dates
# and times, "true" and "false" for booleans, else a number's "decimal_mark",
# "group", "currency", "currency_after", "currency_space" and "percent";
# "name" is ignored): the regular expression of the texts it reads, and a
# text's canonical value (None: it does not fit). ValueError names a fault.
def _format_regex(format: Dict[str, Any]) -> str: ...
def _format_convert(format: Dict[str, Any], text: str) -> Optional[str]: ...

# The extras dicts of one file's parts (its lead-in, then its ranges in file
# order) or of the files of one header, `width` columns wide, merged as one
# pass's, keeping up to `examples_per_type` distinct examples per type.
def _merge_extras(
    parts: List[Dict[str, Any]], width: int, examples_per_type: int
) -> Dict[str, Any]: ...

# Makes each of one file's _infer_range results in `parts` start where the one
# before ended, in place: reread(i, start) gives range i read from `start`.
def _chain_ranges(
    parts: List[Dict[str, Any]], reread: Callable[[int, int], Dict[str, Any]]
) -> None: ...

# A zip archive's members from its directory: (name, method number, size).
# Raises OSError for a file that is no complete zip archive.
def _zip_members(path: str) -> List[Tuple[bytes, int, int]]: ...

# The first `limit` bytes of a zip member's text, as a pass reads them.
def _zip_read(path: str, member: str, limit: int) -> bytes: ...

# The format a pass finds by these first bytes: "plain", "gzip", "zstd", "bzip2", "xz" or "zip".
def _compression_of(head: bytes) -> str: ...

# `--encoding auto` decides from at most this many bytes of decompressed text.
_AUTO_SAMPLE_BYTES: int

# What an input's first bytes decide: "compression" (as _compression_of names it); "more",
# True while the bytes given (`whole`: all of the input) do not tell yet, and then nothing else
# is set, nor for a zip archive; "encoding", the name the engine reads by ("" for UTF-8 as it
# is), chosen or checked against a byte order mark; "warning", why `--encoding auto` chose it
# ("" if nothing to say); "text", at most `wanted` bytes of decompressed text as UTF-8 without
# a byte order mark; "complete", whether that is all the input holds; "not_utf8_at", for UTF-8,
# the offset of its first byte that is not UTF-8 (-1: none). `encoding`: a name, "auto" or ""
# for none; `spellings`, other names to try for it. ValueError with the message users see for
# an encoding that cannot be read or contradicts the byte order mark; sniffing b"" whole
# checks a name alone.
def _sniff(
    raw: bytes,
    whole: bool,
    encoding: str,
    wanted: int,
    *,
    spellings: list[str] = ...,
    decompress: bool = True,
    name: str = "",
) -> dict[str, Any]: ...
