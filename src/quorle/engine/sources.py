"""Where a pass's bytes come from: a path or a readable binary stream, compressed or not,
in any ASCII-compatible encoding. The engine decompresses and transcodes, and decides from the
first block the compression, the encoding and that block's text; this module only reads the
block, and hands a stream's block back to the engine, with the rest, through a pipe."""

from __future__ import annotations

import codecs
import dataclasses
import os
import stat
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, BinaryIO

import quorle_ext

from . import archives

UTF8 = "utf-8"
AUTO = "auto"
STDIN_NAME = "<stdin>"
STDIN_DEVICE = "/dev/stdin"
PLAIN = "plain"
# The delimiter is sniffed from this much of the decoded text.
SNIFF_BYTES = 64 * 1024
READ_BYTES = 1 << 16
FEED_BYTES = 1 << 20
MAGIC_BYTES = archives.MAGIC_BYTES


def compression_of(head: bytes) -> str:
    """The format the engine will find by these first bytes ("plain" for none)."""
    return quorle_ext._compression_of(head)


def is_compressed(path: str) -> bool:
    """Whether the regular file at `path` starts as a compressed stream does."""
    with open(path, "rb") as f:
        return compression_of(f.read(MAGIC_BYTES)) != PLAIN


@dataclass
class Head:
    """The first bytes of an input as read (`raw`) and what the engine made of them: the
    compression, the encoding it reads by ("" for UTF-8 as it is), at most the wanted bytes of
    text as UTF-8, whether that is all the input holds, notes on the encoding's choice, and
    where text read as UTF-8 first is not (-1: nowhere)."""

    raw: bytes
    compression: str
    encoding: str
    text: bytes
    complete: bool
    notes: list[str]
    not_utf8_at: int


def sniff(
    raw: bytes,
    whole: bool,
    encoding: str | None,
    wanted: int,
    name: str = "",
    decompress: bool = True,
) -> dict[str, Any]:
    """The engine's reading of an input's first bytes (`whole`: all of it) for the encoding
    asked for (a name, "auto", or None); ValueError when that cannot be read."""
    given = encoding or ""
    spellings = [] if given in ("", AUTO) else _spellings(given)[1:]
    # A path that is not UTF-8 reaches the engine's messages in a spelling it can hold.
    shown = name.encode(UTF8, "surrogateescape").decode(UTF8, "replace")
    try:
        return quorle_ext._sniff(
            raw, whole, given, wanted, spellings=spellings, decompress=decompress, name=shown
        )
    except ValueError as e:
        if shown == name:
            raise
        raise ValueError(str(e).replace(shown, name, 1)) from None


def _head(raw: bytes, found: dict[str, Any]) -> Head:
    notes = [found["warning"]] if found["warning"] else []
    return Head(
        raw, found["compression"], found["encoding"], found["text"], found["complete"], notes,
        found["not_utf8_at"],
    )  # fmt: skip


def read_head(read: Callable[[int], bytes], wanted: int, encoding: str | None, name: str) -> Head:
    """Reads until the engine has what it needs from the input's start (`wanted` bytes of
    text, and for "auto" its sample), or the input ends: no further, so that a pipe whose
    writer waits is not waited for once its first bytes tell."""
    raw = bytearray()
    while True:
        chunk = read(READ_BYTES)
        raw += chunk
        found = sniff(bytes(raw), not chunk, encoding, wanted, name)
        if not found["more"]:
            return _head(bytes(raw), found)


def sample_text(head: Head, size: int = SNIFF_BYTES) -> str:
    """The first `size` bytes of the head's text for sniffing, each byte kept as one
    character, so that lengths and offsets are the engine's."""
    return head.text[:size].decode("latin-1")


def text_of(piece: str) -> str | None:
    """A piece of `sample_text` as the text it stands for; None where it is not UTF-8."""
    try:
        return piece.encode("latin-1").decode(UTF8)
    except UnicodeError:
        return None


def check_encoding(encoding: str) -> str:
    """The name the engine reads `encoding` by: as given, or Python's name for it where the
    C library's iconv spells it otherwise ("latin-1"); ValueError saying what to do when it
    cannot be read."""
    if not isinstance(encoding, str) or not encoding:
        raise ValueError(f"encoding must be a name such as 'utf-8' or 'cp1252', not {encoding!r}")
    if encoding == AUTO:
        return encoding
    return sniff(b"", True, encoding, 0)["encoding"] or encoding


def _spellings(encoding: str) -> list[str]:
    """The name as given, then as Python names it: a Python caller may use any of Python's
    names for an encoding, and the engine tries each spelling on the C library."""
    try:
        python = codecs.lookup(encoding).name
    except LookupError:
        return [encoding]
    variants = (python, python.replace("_", "-"), python.replace("-", "").replace("_", ""))
    return list(
        dict.fromkeys(
            (encoding, *variants, *(v.replace("-be", "be").replace("-le", "le") for v in variants))
        )
    )


@dataclass
class Source:
    """What the engine reads (`path`), the name reports give it, and the first block."""

    path: str
    name: str
    head: Head
    feed: BinaryIO | None = None  # the stream whose rest follows the head, if any
    owned: bool = False  # the feed was opened here, and is closed here
    member: str = ""  # the zip member of `path` that the engine reads, if any


def peek(source: Source, wanted: int) -> Source:
    """The source with `wanted` bytes of text in its head, or all there is: a regular file
    is read again from its start, a stream's further bytes join its head (and so its feed).
    The encoding stays the one chosen."""
    head = source.head
    if head.complete or len(head.text) >= wanted:
        return source
    if source.member:
        return _member_source(source.path, source.member, source.name, wanted, head.encoding)
    if source.feed is None:
        with open(source.path, "rb") as f:
            again = read_head(f.read, wanted, head.encoding, source.name)
        return dataclasses.replace(source, head=again)
    more = _reader(source.feed)
    pending = [head.raw]

    def read(size: int) -> bytes:
        return pending.pop() if pending else more(size)

    return dataclasses.replace(source, head=read_head(read, wanted, head.encoding, source.name))


def display_name(stream: Any) -> str:
    name = getattr(stream, "name", None)
    return name if isinstance(name, str) else STDIN_NAME if name == 0 else "<stream>"


def open_path(path: str, wanted: int, encoding: str | None) -> Source:
    """A path: a regular file is read again by the engine; anything else (a pipe, a
    terminal, /dev/stdin) can be read once, so it becomes a stream. ARCHIVE:MEMBER is a
    member of a zip archive, and an archive alone is its one .csv, .tsv or .txt member."""
    name = STDIN_NAME if path == STDIN_DEVICE else path
    archive, member = archives.locate(path)
    if member:
        return _member_source(archive, member, name, wanted, encoding)
    if stat.S_ISREG(os.stat(path).st_mode):
        with open(path, "rb") as f:
            head = read_head(f.read, wanted, encoding, name)
        if head.compression == archives.ZIP:
            if path == STDIN_DEVICE:
                raise archives.pipe_error(name)  # a member could not be named again to load it
            member = archives.pick(path, name)
            shown = archives.member_path(name, member)
            return _member_source(path, member, shown, wanted, encoding)
        return Source(path, name, head)
    stream = open(path, "rb", buffering=0)  # noqa: SIM115 - closed by feeding()
    try:
        head = read_head(_reader(stream), wanted, encoding, name)
        if head.compression == archives.ZIP:
            raise archives.pipe_error(name)
        return Source(path, name, head, stream, owned=True)
    except BaseException:
        stream.close()
        raise


def _member_source(
    archive: str, member: str, name: str, wanted: int, encoding: str | None
) -> Source:
    """A zip member, its text as the engine reads it from the archive: read again with twice
    the bytes until the engine has what it needs of it."""
    limit = wanted
    while True:
        text, whole = archives.read_head(archive, member, limit)
        found = sniff(text, whole, encoding, wanted, name, decompress=False)
        if not found["more"]:
            head = dataclasses.replace(_head(b"", found), compression=archives.ZIP)
            return Source(archive, name, head, member=member)
        limit *= 2


def open_stream(stream: BinaryIO, wanted: int, encoding: str | None) -> Source:
    """A readable binary stream. A regular file read from its start is read by the engine
    through its descriptor; any other is read here, its first block kept for the pipe."""
    name = display_name(stream)
    fd = _descriptor(stream)
    if fd is not None and stat.S_ISREG(os.fstat(fd).st_mode) and _at_start(stream):
        path = f"/proc/self/fd/{fd}"
        with open(path, "rb") as f:
            head = read_head(f.read, wanted, encoding, name)
        if head.compression == archives.ZIP:
            member = archives.pick(path, name)
            shown = archives.member_path(name, member)
            return _member_source(path, member, shown, wanted, encoding)
        return Source(path, name, head)
    head = read_head(_reader(stream), wanted, encoding, name)
    if head.compression == archives.ZIP:
        raise archives.pipe_error(name)
    return Source("", name, head, stream)


def _descriptor(stream: Any) -> int | None:
    try:
        return int(stream.fileno())
    except (AttributeError, OSError, ValueError):
        return None


def _at_start(stream: Any) -> bool:
    try:
        return int(stream.tell()) == 0
    except (AttributeError, OSError, ValueError):
        return False


def _reader(stream: Any) -> Callable[[int], bytes]:
    read = getattr(stream, "read", None)
    if read is None:
        raise TypeError(f"expected a path or a readable binary file object, not {stream!r}")

    def read_bytes(size: int) -> bytes:
        data = read(size)
        if isinstance(data, str):
            raise TypeError("the file object gives text: open it in binary mode ('rb')")
        return bytes(data or b"")

    return read_bytes


@contextmanager
def feeding(source: Source) -> Iterator[str]:
    """The path the engine reads. For a stream, a pipe that a thread fills with the first
    block and then the rest of the stream while the pass runs (it releases the interpreter
    lock); an error reading the stream is raised here once the pass is over, so that a
    short read never passes for the whole input."""
    if source.feed is None:
        yield source.path
        return
    read_end, write_end = os.pipe()
    failure: list[BaseException] = []
    reader = _reader(source.feed)

    def pump() -> None:
        try:
            with open(write_end, "wb", buffering=0) as out:
                out.write(source.head.raw)
                while chunk := reader(FEED_BYTES):
                    out.write(chunk)
        except BrokenPipeError:
            pass  # the pass stopped reading: its own error says why
        except BaseException as e:  # noqa: BLE001 - handed to the caller
            failure.append(e)

    thread = threading.Thread(target=pump, name="quorle-feed", daemon=True)
    thread.start()
    try:
        yield f"/proc/self/fd/{read_end}"
    except BaseException:
        # The pass stopped early; the thread may wait on a silent input forever, and a daemon
        # thread is left behind at exit. Closing the stream under its read is not safe.
        os.close(read_end)
        raise
    os.close(read_end)
    thread.join()
    if source.owned:
        source.feed.close()
    if failure:
        raise OSError(f"{source.name}: reading the input failed: {failure[0]}") from failure[0]


def line_finder(
    source: Source, encoding: str | None, rereadable: bool
) -> Callable[[int], int | None]:
    """The 1-based line of a row offset in the source as the pass read it; None for an input
    that cannot be read again (a pipe)."""

    def line_of(offset: int) -> int | None:
        if not rereadable:
            return None
        return quorle_ext._line_at(
            source.path, offset, encoding=encoding or UTF8, member=source.member
        )

    return line_of
