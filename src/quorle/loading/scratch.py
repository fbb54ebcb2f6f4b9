"""Private folders a run keeps its scratch files in, each locked by its run for the run's
lifetime. A run killed outright (SIGKILL, a crash) cannot remove its folder; a later run
making a folder of the same kind removes such a leftover, which it tells from a folder in
use by the lock it can take on it.

The lock is an flock on a file in the folder, open for reading and writing: NFS emulates
flock with a byte-range lock, which an exclusive lock takes only through a descriptor open
for writing (so not through one on the folder itself)."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import shutil
import stat
import tempfile

# Tries at making a folder that a concurrent run's sweep does not take away first.
MAKE_TRIES = 100
# A folder's lock file, its run's only (as the folder is).
LOCK_MODE = 0o600


class LockedFolder:
    """A new folder `prefix` + random letters in `parent`, mode 0700, locked (flock on its lock
    file) until `cleanup`, which removes it. Before making it, removes the folders of the same
    prefix in `parent` that are this user's and that no live run holds locked."""

    def __init__(self, parent: str, prefix: str) -> None:
        sweep(parent, prefix)
        self.name, self._fd = _make_locked(parent, prefix)

    def cleanup(self) -> None:
        if self._fd < 0:
            return
        # Removed while still locked, so that no sweep takes it as a leftover meanwhile.
        shutil.rmtree(self.name, ignore_errors=True)
        os.close(self._fd)
        self._fd = -1

    def __enter__(self) -> LockedFolder:
        return self

    def __exit__(self, *_: object) -> None:
        self.cleanup()


def lock_file(folder: str) -> str:
    """The lock file of a folder. It is named after its folder, so that it is never a name its
    user gives a file there (the loader names its database after the target file)."""
    return os.path.join(folder, os.path.basename(folder))


def _make_locked(parent: str, prefix: str) -> tuple[str, int]:
    for _ in range(MAKE_TRIES):
        name = tempfile.mkdtemp(prefix=prefix, dir=parent)
        try:
            fd = _lock_new(name)
        except OSError:
            shutil.rmtree(name, ignore_errors=True)
            raise
        if fd >= 0:
            return name, fd
    raise OSError(errno.EEXIST, "no folder could be kept from other runs", parent)


def _lock_new(name: str) -> int:
    """The descriptor of the new folder's lock file, locked; -1 if a sweep took the folder."""
    fd = os.open(lock_file(name), os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, LOCK_MODE)
    kept = False
    try:
        # Between the lock file's creation and its lock, another run's sweep may take the
        # folder for a leftover: it then holds the lock, or has removed the file already.
        kept = _try_lock(fd) and os.fstat(fd).st_nlink > 0
    finally:
        if not kept:
            os.close(fd)
    return fd if kept else -1


def _try_lock(fd: int) -> bool:
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def sweep(parent: str, prefix: str) -> None:
    """Removes the folders `prefix`* in `parent` left by runs that ended without removing
    them: only this user's, and only those whose lock can be taken at once. A folder without
    a lock file is being made, and one whose lock cannot be tried is not known to be left."""
    try:
        with os.scandir(parent) as found:
            entries = [e for e in found if e.name.startswith(prefix)]
    except OSError:
        return
    for entry in entries:
        with contextlib.suppress(OSError):
            _remove_if_left(entry)


def _remove_if_left(entry: os.DirEntry[str]) -> None:
    seen = entry.stat(follow_symlinks=False)
    if not stat.S_ISDIR(seen.st_mode) or seen.st_uid != os.getuid():
        return
    folder = os.open(entry.path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    try:
        held = os.fstat(folder)
        if held.st_ino != seen.st_ino or held.st_dev != seen.st_dev:
            return
        fd = os.open(entry.name, os.O_RDWR | os.O_NOFOLLOW, dir_fd=folder)
    finally:
        os.close(folder)
    try:
        if _try_lock(fd):
            shutil.rmtree(entry.path, ignore_errors=True)
    finally:
        os.close(fd)
