"""Zip archives as input: their .csv, .tsv and .txt members are files of a run, each named
ARCHIVE:MEMBER in messages and reports. The engine lists and reads the members (the one
parser of the format); nothing is extracted to disk."""

from __future__ import annotations

import os
from collections.abc import Callable

import quorle_ext

ZIP = "zip"
# Enough first bytes for the engine to tell every format it reads.
MAGIC_BYTES = 16
SEPARATOR = ":"
TABLE_SUFFIXES = (".csv", ".tsv", ".txt")
# What macOS adds to the archives it makes: a folder of resource forks, or a fork per file.
MAC_FOLDER = "__MACOSX/"
MAC_FORK_PREFIX = "._"
# Skipped members a warning names, at most.
SHOWN_MEMBERS = 5


def is_archive(path: str) -> bool:
    """Whether `path` is a regular file that starts as a zip archive does (a pipe is not
    opened: that could wait for a writer, and would lose what it read)."""
    try:
        if not os.path.isfile(path):
            return False
        with open(path, "rb") as f:
            return quorle_ext._compression_of(f.read(MAGIC_BYTES)) == ZIP
    except (OSError, ValueError):
        return False


def locate(path: str) -> tuple[str, str]:
    """The file the engine opens for `path`, and the zip member it reads there ("" for
    none): ARCHIVE:MEMBER names a member of the zip archive ARCHIVE, unless a file has that
    whole name."""
    if SEPARATOR not in path or os.path.lexists(path):
        return path, ""
    at = path.find(SEPARATOR)
    while at != -1:
        if at > 0 and is_archive(path[:at]):
            return path[:at], path[at + 1 :]
        at = path.find(SEPARATOR, at + 1)
    return path, ""


def for_engine(path: str) -> tuple[bytes, bytes]:
    """`locate(path)` as the bytes the engine takes: a name that is not UTF-8 stays as is."""
    file, member = locate(path)
    return os.fsencode(file), os.fsencode(member)


def member_path(archive: str, member: str) -> str:
    return f"{archive}{SEPARATOR}{member}"


def _is_extra(name: str) -> bool:
    """A folder, or what macOS adds: never read, never warned about."""
    base = name.rpartition("/")[2]
    return name.endswith("/") or name.startswith(MAC_FOLDER) or base.startswith(MAC_FORK_PREFIX)


def is_table(name: str) -> bool:
    """Whether a member is read as a file of a run: a .csv, .tsv or .txt file."""
    return not _is_extra(name) and name.lower().endswith(TABLE_SUFFIXES)


def members(archive: str) -> tuple[list[str], list[str]]:
    """The archive's members read as files, in its order, and its other files. OSError
    naming the archive when it cannot be read as one."""
    listed = quorle_ext._zip_members(os.fsencode(archive))
    names = list(dict.fromkeys(os.fsdecode(name) for name, _method, _size in listed))
    tables = [n for n in names if is_table(n)]
    return tables, [n for n in names if not is_table(n) and not _is_extra(n)]


def _listed(names: list[str]) -> str:
    more = len(names) - SHOWN_MEMBERS
    return ", ".join(names[:SHOWN_MEMBERS]) + (f" and {more} more" if more > 0 else "")


def pick(archive: str, shown: str) -> str:
    """The member that reading the archive as one file reads: its only .csv, .tsv or .txt
    member. ValueError naming the archive as `shown` when it has none or several."""
    tables, others = members(archive)
    if len(tables) == 1:
        return tables[0]
    if not tables:
        held = f" (it holds {_listed(others)})" if others else ""
        raise ValueError(f"{shown}: a zip archive without a .csv, .tsv or .txt member{held}")
    raise ValueError(
        f"{shown}: a zip archive of {len(tables)} files ({_listed(tables)}): name the one to"
        f" read as {member_path(shown, tables[0])} (the quorle command reads them all)"
    )


def read_head(archive: str, member: str, wanted: int) -> tuple[bytes, bool]:
    """At most `wanted` bytes of the member's text, and whether that is all of it."""
    text = quorle_ext._zip_read(os.fsencode(archive), os.fsencode(member), wanted + 1)
    return text[:wanted], len(text) <= wanted


def pipe_error(shown: str) -> ValueError:
    return ValueError(
        f"{shown}: a zip archive cannot be read from a pipe or standard input: its list of"
        " members comes at its end; save it to a file first, or unzip the member into the"
        " pipe (unzip -p ARCHIVE MEMBER)"
    )


class NameClash(ValueError):
    """A member's name ARCHIVE:MEMBER is also a file's: reading either would be a guess."""


def expand(path: str, warn: Callable[[str, str], None] | None = None) -> list[str]:
    """A zip archive stands for its .csv, .tsv and .txt members, and `warn(path, message)`
    hears once of the other files in it; anything else, or an archive without such members
    or that cannot be read, stands for itself, so that its pass reports why. NameClash
    when a file has a member's name (`locate` would read the file instead)."""
    if not is_archive(path):
        return [path]
    try:
        tables, others = members(path)
    except OSError:
        return [path]
    for member in tables:
        if os.path.lexists(member_path(path, member)):
            raise NameClash(
                f"{member_path(path, member)}: the name of a file and of the member {member}"
                f" of the zip archive {path}: rename the file to read both"
            )
    if tables and others and warn is not None:
        warn(
            path, f"skipped {len(others)} member(s) not named .csv, .tsv or .txt: {_listed(others)}"
        )
    return [member_path(path, member) for member in tables] or [path]
