"""Child processes that end with their test: a test that fails, or a child that hangs, leaves
none running and none waited for without a deadline."""

from __future__ import annotations

import contextlib
import subprocess
from collections.abc import Iterator

import pytest

KILL_GUARD = 30  # seconds for a killed process to be reaped


def _close_pipes(proc: subprocess.Popen) -> None:
    for stream in (proc.stdout, proc.stderr, proc.stdin):
        if stream is not None:
            with contextlib.suppress(OSError):
                stream.close()


def _kill(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.kill()
    proc.wait(timeout=KILL_GUARD)


@contextlib.contextmanager
def bounded(proc: subprocess.Popen, seconds: float) -> Iterator[subprocess.Popen]:
    """`proc`, ended on the way out as `with Popen(...)` ends it (its pipes closed, then
    waited for), but within `seconds`: one still running then is killed and fails the test.
    A test that fails inside the block kills it at once."""
    try:
        yield proc
    except BaseException:
        _close_pipes(proc)
        _kill(proc)
        raise
    _close_pipes(proc)
    try:
        proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        _kill(proc)
        pytest.fail(f"{proc.args!r} still ran {seconds} s after its test was done with it")
