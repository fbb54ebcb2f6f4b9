"""Runs a pass in a worker process, so that Ctrl-C stops it at once and progress
can be read from the worker's file position.

The engine holds the interpreter lock for the whole pass and never looks at
signals; a worker in its own session is out of reach of the terminal's Ctrl-C,
and the command kills it instead. The worker is a fresh interpreter (never a
fork of the command's), and dies with the command.
"""

from __future__ import annotations

import ctypes
import os
import pickle
import re
import select
import signal
import subprocess
import sys
from collections.abc import Callable
from typing import Any

from .api import infer_to, types_output
from .options import Options
from .result import FileResult

POLL_SECONDS = 0.1
READ_BYTES = 1 << 16
PR_SET_PDEATHSIG = 1
INHERITED_FD = re.compile(r"/(?:dev|proc/self)/fd/([0-9]+)")


def file_position(pid: int, target: str) -> int | None:
    """The furthest offset of the process's open descriptors on `target` (a real path), if
    it has any open: the pass's reader, not a descriptor that only watches the file."""
    fds = f"/proc/{pid}/fd"
    positions = []
    try:
        for fd in os.listdir(fds):
            if os.readlink(f"{fds}/{fd}") == target:
                with open(f"/proc/{pid}/fdinfo/{fd}", encoding="ascii") as f:
                    for line in f:
                        if line.startswith("pos:"):
                            positions.append(int(line.split()[1]))
    except OSError:
        pass  # the worker or its file went away meanwhile
    return max(positions, default=None)


def _read_reply(
    proc: subprocess.Popen[bytes], fd: int, target: str, progress: Callable[[int], None] | None
) -> bytes:
    chunks: list[bytes] = []
    while True:
        ready, _, _ = select.select([fd], [], [], POLL_SECONDS)
        if ready:
            chunk = os.read(fd, READ_BYTES)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)
        elif progress is not None:
            position = file_position(proc.pid, target)
            if position is not None:
                progress(position)


def inherited_fds(path: str) -> tuple[int, ...]:
    """The descriptor `path` names, if it names one of this process (`<(...)` gives
    /dev/fd/N): the worker gets it under the same number."""
    found = INHERITED_FD.fullmatch(path)
    if found is None:
        return ()
    fd = int(found.group(1))
    try:
        os.fstat(fd)
    except OSError:
        return ()
    return (fd,)


def run_in_worker(
    path: str,
    options: Options,
    types_file: str | None = None,
    progress: Callable[[int], None] | None = None,
) -> FileResult:
    """`infer` of `path` with `options` (its executor unused) in a worker process, also
    writing `types_file` if given; `progress` gets byte offsets.

    The worker shares this process's stdin, so that /dev/stdin is the same input.
    It is killed and reaped however this ends, KeyboardInterrupt included; a types
    file is made safe here, so that a killed worker leaves no part of it behind.
    """
    options = options.replace(executor=None)
    if types_file is None:
        return _run(path, options, None, progress)
    with types_output(path, types_file) as written:
        return _run(path, options, written, progress)


def _run(
    path: str,
    options: Options,
    types_path: str | None,
    progress: Callable[[int], None] | None,
) -> FileResult:
    request_r, request_w = os.pipe()
    reply_r, reply_w = os.pipe()
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "quorle.worker", str(request_r), str(reply_w)],
            stdout=subprocess.DEVNULL,
            pass_fds=(request_r, reply_w, *inherited_fds(path)),
            start_new_session=True,
        )
    finally:
        os.close(request_r)
        os.close(reply_w)
    try:
        with open(request_w, "wb") as out:
            out.write(pickle.dumps((os.getpid(), path, options, types_path)))
        reply = _read_reply(proc, reply_r, os.path.realpath(path), progress)
        proc.wait()
    finally:
        os.close(reply_r)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    if not reply:
        raise RuntimeError(f"{path}: the worker process ended with status {proc.returncode}")
    status, value = pickle.loads(reply)
    if status == "error":
        raise value
    assert isinstance(value, FileResult)
    return value


def _die_with_parent() -> None:
    if sys.platform.startswith("linux"):
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def _reply(status: str, value: Any) -> bytes:
    try:
        return pickle.dumps((status, value))
    except Exception:  # an exception that does not pickle still reaches the user
        return pickle.dumps(("error", RuntimeError(str(value))))


def main(request_fd: int, reply_fd: int) -> int:
    _die_with_parent()
    with open(request_fd, "rb") as request:
        parent, path, options, types_path = pickle.load(request)
    if os.getppid() != parent:
        return 1  # the command ended before the worker could see it
    try:
        reply = _reply("ok", infer_to(path, types_path, options))
    except Exception as e:
        reply = _reply("error", e)
    with open(reply_fd, "wb") as out:
        out.write(reply)
    return 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]), int(sys.argv[2])))
