"""Where a pass's bytes come from: a path or a readable binary stream, compressed or not,
in any ASCII-compatible encoding. The engine decompresses and transcodes; this module
looks at the first block only, to choose the encoding and sniff the delimiter, and hands
a stream's block back to the engine, with the rest, through a pipe."""

from __future__ import annotations

import bz2
import codecs
import dataclasses
import gzip
import io
import lzma
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
# `--encoding auto` decides from at most this much of the decoded text.
AUTO_SAMPLE_BYTES = 1 << 20
# The delimiter is sniffed from this much of the decoded text.
SNIFF_BYTES = 64 * 1024
READ_BYTES = 1 << 16
FEED_BYTES = 1 << 20
# Byte order marks, longest first (UTF-32 LE starts as UTF-16 LE does): the encoding the
# engine reads by it, the mark's name, and Python's names of the encodings it agrees with.
BOMS = (
    (codecs.BOM_UTF32_LE, "UTF-32", "UTF-32 LE", ("utf-32", "utf-32-le")),
    (codecs.BOM_UTF32_BE, "UTF-32", "UTF-32 BE", ("utf-32", "utf-32-be")),
    (codecs.BOM_UTF8, UTF8, "UTF-8", ("utf-8", "utf-8-sig")),
    (codecs.BOM_UTF16_LE, "UTF-16", "UTF-16 LE", ("utf-16", "utf-16-le")),
    (codecs.BOM_UTF16_BE, "UTF-16", "UTF-16 BE", ("utf-16", "utf-16-be")),
)
FALLBACK_ENCODING = "cp1252"
MAGIC_BYTES = archives.MAGIC_BYTES


def compression_of(head: bytes) -> str:
    """The format the engine will find by these first bytes ("plain" for none)."""
    return quorle_ext._compression_of(head)


def is_compressed(path: str) -> bool:
    """Whether the regular file at `path` starts as a compressed stream does."""
    with open(path, "rb") as f:
        return compression_of(f.read(MAGIC_BYTES)) != PLAIN


def _zstd_reader(raw: io.BytesIO) -> Any:
    try:
        from compression import zstd  # type: ignore[import-not-found]

        return zstd.ZstdFile(raw)
    except ImportError:
        pass
    try:
        import zstandard  # type: ignore[import-not-found]
    except ImportError:
        return None
    return zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True)


# Readers of every member, frame or stream one after another, as the engine reads them.
READERS: dict[str, Callable[[io.BytesIO], Any]] = {
    "gzip": lambda raw: gzip.GzipFile(fileobj=raw),
    "bzip2": bz2.BZ2File,
    "xz": lzma.LZMAFile,
    "zstd": _zstd_reader,
    # A zip member's text comes from the engine (see open_path), never from a stream here.
    archives.ZIP: lambda raw: None,
}
SAMPLE_STEP = 16 * 1024


@dataclass
class Head:
    """The first bytes of an input as read (`raw`), their format, and at most the wanted
    bytes of their decompressed text (`text`, None where no decoder is at hand here)."""

    raw: bytes
    compression: str
    text: bytes | None
    complete: bool


def read_head(read: Callable[[int], bytes], wanted: int) -> Head:
    """Reads until `wanted` bytes of decompressed text are in, or the input ends. The text
    is decompressed with a bound, so that a small bomb of a file stays small here."""
    raw = bytearray()
    chunk = b"?"
    while chunk and len(raw) < MAGIC_BYTES:
        chunk = read(READ_BYTES)
        raw += chunk
    compression = compression_of(bytes(raw[:MAGIC_BYTES]))
    if compression != PLAIN and READERS[compression](io.BytesIO(b"")) is None:
        return Head(bytes(raw), compression, None, not chunk)
    text = _decompressed(raw, compression, wanted)
    while chunk and len(text) < wanted:
        chunk = read(READ_BYTES)
        raw += chunk
        text = _decompressed(raw, compression, wanted)
    return Head(bytes(raw), compression, text, not chunk)


def _decompressed(raw: bytearray, compression: str, wanted: int) -> bytes:
    """At most `wanted` bytes of text from the start of `raw`. A stream that ends here or is
    damaged just gives what came before: the engine reports a damage, with its offset."""
    if compression == PLAIN:
        return bytes(raw[:wanted])
    out = bytearray()
    with READERS[compression](io.BytesIO(bytes(raw))) as reader:
        try:
            while len(out) < wanted:
                piece = reader.read(min(SAMPLE_STEP, wanted - len(out)))
                if not piece:
                    break
                out += piece
        except Exception:  # noqa: BLE001 - each library has its own errors; none matters here
            pass
    return bytes(out)


def marked_encoding(head: Head, given: str | None, name: str) -> str | None:
    """The encoding a UTF-16 or UTF-32 byte order mark names, when no encoding was `given`;
    ValueError naming both when the one given contradicts the mark. None: no such mark."""
    text = head.text or b""
    for bom, engine_name, shown, agreeing in BOMS:
        if engine_name == UTF8 or not text.startswith(bom):
            continue
        if given is None:
            return engine_name
        try:
            python_name = codecs.lookup(given).name
        except LookupError:
            return None  # a name only iconv knows: it is taken at its word
        if python_name not in agreeing:
            raise ValueError(
                f"{name}: starts with a {shown} byte order mark, but --encoding {given} was"
                f" given (encoding= in Python): leave it out, or give --encoding {engine_name}"
            )
        return None
    return None


def choose_encoding(head: Head) -> tuple[str, list[str]]:
    """For `--encoding auto`: a BOM decides; else UTF-8 if the first block decodes, else
    cp1252, with a warning naming the choice."""
    text = head.text or b""
    for bom, name, _, _ in BOMS:
        if text.startswith(bom):
            return name, []
    try:
        codecs.getincrementaldecoder(UTF8)().decode(text[:AUTO_SAMPLE_BYTES], head.complete)
    except UnicodeDecodeError as e:
        return FALLBACK_ENCODING, [
            f"encoding auto: byte {e.start} is not UTF-8, so the file is read as"
            f" {FALLBACK_ENCODING}; give --encoding NAME if it is another"
        ]
    return UTF8, []


def sample_text(head: Head, encoding: str, size: int = SNIFF_BYTES) -> str | None:
    """The first block (`size` bytes of it) as text for sniffing, its bytes kept one to one
    for UTF-8 and where the encoding is unknown here; None when it cannot be decompressed
    here."""
    if head.text is None:
        return None
    data = head.text[:size]
    if is_utf8(encoding):
        return data.removeprefix(codecs.BOM_UTF8).decode("latin-1")
    try:
        decoder = codecs.getincrementaldecoder(encoding)("replace")
    except LookupError:
        return data.decode("latin-1")
    return decoder.decode(data).lstrip("\ufeff")


def text_of(piece: str, encoding: str) -> str | None:
    """A piece of `sample_text` as the text it stands for; None where its bytes are not UTF-8
    or the encoding is unknown here."""
    try:
        if is_utf8(encoding):
            return piece.encode("latin-1").decode(UTF8)
        codecs.lookup(encoding)
    except (UnicodeError, LookupError):
        return None
    return piece


def is_utf8(encoding: str) -> bool:
    return encoding.replace("-", "").replace("_", "").upper() in ("", "UTF8")


def check_encoding(encoding: str) -> str:
    """The name the engine reads `encoding` by: as given, or Python's name for it where the
    C library's iconv spells it otherwise ("latin-1"); ValueError saying what to do when it
    cannot be read."""
    if not isinstance(encoding, str) or not encoding:
        raise ValueError(f"encoding must be a name such as 'utf-8' or 'cp1252', not {encoding!r}")
    if encoding == AUTO or is_utf8(encoding):
        return encoding
    refused = False
    for name in _spellings(encoding):
        try:
            quorle_ext.Inf("", ",", {}, set(), False, False, "", 0)._set_input(True, name)
            return name
        except ValueError as e:
            refused = refused or "not ASCII-compatible" in str(e)
    if refused:
        raise ValueError(
            f"encoding {encoding!r} is not ASCII-compatible (as EBCDIC and UTF-7 are"
            " not): its delimiters and line ends are other bytes. Convert the file to"
            f" UTF-8 first, for example: iconv -f {encoding} -t UTF-8 FILE > FILE.utf8"
        )
    raise ValueError(
        f"unknown encoding {encoding!r}: give a name the C library's iconv knows"
        " (iconv --list shows them), or --encoding auto"
    )


def _spellings(encoding: str) -> list[str]:
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
    is read again from its start, a stream's further bytes join its head (and so its feed)."""
    head = source.head
    if head.complete or head.text is None or len(head.text) >= wanted:
        return source
    if source.member:
        return _member_source(source.path, source.member, source.name, wanted)
    if source.feed is None:
        with open(source.path, "rb") as f:
            return dataclasses.replace(source, head=read_head(f.read, wanted))
    more = _reader(source.feed)
    pending = [head.raw]

    def read(size: int) -> bytes:
        return pending.pop() if pending else more(size)

    return dataclasses.replace(source, head=read_head(read, wanted))


def display_name(stream: Any) -> str:
    name = getattr(stream, "name", None)
    return name if isinstance(name, str) else STDIN_NAME if name == 0 else "<stream>"


def open_path(path: str, wanted: int) -> Source:
    """A path: a regular file is read again by the engine; anything else (a pipe, a
    terminal, /dev/stdin) can be read once, so it becomes a stream. ARCHIVE:MEMBER is a
    member of a zip archive, and an archive alone is its one .csv, .tsv or .txt member."""
    name = STDIN_NAME if path == STDIN_DEVICE else path
    archive, member = archives.locate(path)
    if member:
        return _member_source(archive, member, name, wanted)
    if stat.S_ISREG(os.stat(path).st_mode):
        with open(path, "rb") as f:
            head = read_head(f.read, wanted)
        if head.compression == archives.ZIP:
            if path == STDIN_DEVICE:
                raise archives.pipe_error(name)  # a member could not be named again to load it
            member = archives.pick(path, name)
            return _member_source(path, member, archives.member_path(name, member), wanted)
        return Source(path, name, head)
    stream = open(path, "rb", buffering=0)  # noqa: SIM115 - closed by feeding()
    try:
        head = read_head(_reader(stream), wanted)
        if head.compression == archives.ZIP:
            raise archives.pipe_error(name)
        return Source(path, name, head, stream, owned=True)
    except BaseException:
        stream.close()
        raise


def _member_source(archive: str, member: str, name: str, wanted: int) -> Source:
    text, complete = archives.read_head(archive, member, wanted)
    return Source(archive, name, Head(b"", archives.ZIP, text, complete), member=member)


def open_stream(stream: BinaryIO, wanted: int) -> Source:
    """A readable binary stream. A regular file read from its start is read by the engine
    through its descriptor; any other is read here, its first block kept for the pipe."""
    name = display_name(stream)
    fd = _descriptor(stream)
    if fd is not None and stat.S_ISREG(os.fstat(fd).st_mode) and _at_start(stream):
        path = f"/proc/self/fd/{fd}"
        with open(path, "rb") as f:
            head = read_head(f.read, wanted)
        if head.compression == archives.ZIP:
            member = archives.pick(path, name)
            return _member_source(path, member, archives.member_path(name, member), wanted)
        return Source(path, name, head)
    head = read_head(_reader(stream), wanted)
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
