"""Files read and written so that a change during a pass is noticed, and a failed or stopped
run leaves no half-written output."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
from collections.abc import Iterator

# A new file gets these permissions less the umask, as any file the engine creates.
NEW_FILE_MODE = 0o666
# Bytes of the target's name kept in a temporary name, which must stay under the
# file system's limit for one name (255 bytes) with its prefix and suffix.
NAME_BYTES_KEPT = 200
TEMP_SUFFIX = ".part"
TEMP_TRIES = 100


def writes_in_place(path: str) -> bool:
    """Whether `path` is written where it is: a symbolic link, a FIFO or a device (and a
    folder, which fails as it always did), since replacing it would cut the link or leave
    the reader of the pipe waiting."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        return False
    return not stat.S_ISREG(mode)


def create_beside(path: str) -> str:
    """A new empty file in the folder of `path`, hidden, with the permissions `path` has
    (or a new file would have); its name."""
    folder, base = os.path.split(path)
    base = os.fsdecode(os.fsencode(base)[:NAME_BYTES_KEPT])
    for _ in range(TEMP_TRIES):
        temp = os.path.join(folder, f".{base}.{secrets.token_hex(4)}{TEMP_SUFFIX}")
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, NEW_FILE_MODE)
        except FileExistsError:
            continue
        try:
            with contextlib.suppress(FileNotFoundError):
                os.fchmod(fd, stat.S_IMODE(os.stat(path).st_mode))
        finally:
            os.close(fd)
        return temp
    raise FileExistsError(errno.EEXIST, "no free temporary name", path)


def remove_quietly(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


@contextlib.contextmanager
def replaced_on_success(path: str | os.PathLike[str], role: str = "file") -> Iterator[str]:
    """Yields the name to write `path` under: a new file beside it that replaces it when the
    block ends without an exception and is removed when it raises (a signal included), so
    that `path` is never seen half-written; or `path` itself when it is written in place
    (see `writes_in_place`, and a folder that takes no new file while `path` is writable).
    An OSError that names `role` says why no file could be made."""
    name = os.fsdecode(path)
    if writes_in_place(name):
        yield name
        return
    try:
        temp = create_beside(name)
    except PermissionError as e:
        if not os.access(name, os.W_OK):
            raise OSError(f"Cannot open {role}: {name}: {e.strerror}") from None
        temp = None
    except OSError as e:
        raise OSError(f"Cannot open {role}: {name}: {e.strerror}") from None
    if temp is None:
        yield name
        return
    try:
        yield temp
        os.replace(temp, name)
    except BaseException:
        remove_quietly(temp)
        raise


class SizeWatch:
    """Holds a descriptor on a regular file for a pass, so that its size at the start and at
    the end are those of the one file read, whatever happens to its name meanwhile. Other
    input (a pipe) has no size to watch and is not opened."""

    def __init__(self, path: str, regular: bool) -> None:
        self.path = path
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC) if regular else None
        self.start = os.fstat(self.fd).st_size if self.fd is not None else 0

    def __enter__(self) -> SizeWatch:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.fd is not None:
            os.close(self.fd)

    def check(self) -> list[str]:
        """After the pass: raises OSError if the file shrank, since rows were lost; a
        warning if it grew, since what was added may not be counted."""
        if self.fd is None:
            return []
        end = os.fstat(self.fd).st_size
        if end < self.start:
            raise OSError(
                errno.EIO,
                f"the file shrank from {self.start} to {end} bytes while it was read,"
                " so rows may be missing from the counts",
                self.path,
            )
        if end > self.start:
            return [
                f"the file grew from {self.start} to {end} bytes while it was read: the"
                f" counts cover at least its first {self.start} bytes, and may miss what"
                " was added"
            ]
        return []
