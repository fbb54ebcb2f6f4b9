"""Private folders a run keeps its scratch files in, each locked by its run for the run's
lifetime. A run killed outright (SIGKILL, a crash) cannot remove its folder; a later run
making a folder of the same kind removes such a leftover, which it tells from a folder in
use by the lock it can take on it."""

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


class LockedFolder:
    """A new folder `prefix` + random letters in `parent`, mode 0700, locked (flock) until
    `cleanup`, which removes it. Before making it, removes the folders of the same prefix
    in `parent` that are this user's and that no live run holds locked."""

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


def _make_locked(parent: str, prefix: str) -> tuple[str, int]:
    for _ in range(MAKE_TRIES):
        name = tempfile.mkdtemp(prefix=prefix, dir=parent)
        # Between mkdtemp and the lock, another run's sweep may take the folder for a
        # leftover: it then holds the lock, or has removed the folder already.
        try:
            fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY)
        except FileNotFoundError:
            continue
        if _try_lock(fd) and os.fstat(fd).st_nlink > 0:
            return name, fd
        os.close(fd)
    raise OSError(errno.EEXIST, "no folder could be kept from other runs", parent)


def _try_lock(fd: int) -> bool:
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def sweep(parent: str, prefix: str) -> None:
    """Removes the folders `prefix`* in `parent` left by runs that ended without removing
    them: only this user's, and only those whose lock can be taken at once."""
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
    fd = os.open(entry.path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    try:
        held = os.fstat(fd)
        if held.st_ino == seen.st_ino and held.st_dev == seen.st_dev and _try_lock(fd):
            shutil.rmtree(entry.path, ignore_errors=True)
    finally:
        os.close(fd)
