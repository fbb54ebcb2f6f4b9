"""The command at its edges, run as a user runs it: closed standard descriptors, a load
from stdin, file names that are not UTF-8, and stop signals while a process pool starts."""

from __future__ import annotations

import contextlib
import os
import pathlib
import signal
import sqlite3
import subprocess
import sys
import time

import pytest
from processes import bounded

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
HANG_GUARD = 60  # seconds: only so that a hang fails instead of blocking the suite
ROWS = b"a,b\n1,x\n2,y\n"
CLOSED_STDIN = "quorle: error: <stdin>: cannot read: stdin is closed\n"


def quorle(*args, stdin: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [QUORLE, *args], input=stdin, capture_output=True, timeout=HANG_GUARD, check=False
    )


def with_closed(redirect: str, *args) -> subprocess.CompletedProcess[bytes]:
    """The command with a standard descriptor closed by the shell (`<&-`, `>&-`, `2>&-`)."""
    script = f'exec "$0" "$@" {redirect}'
    return subprocess.run(
        ["sh", "-c", script, QUORLE, *args], capture_output=True, timeout=HANG_GUARD, check=False
    )


def table(db: pathlib.Path, name: str) -> list[tuple]:
    with contextlib.closing(sqlite3.connect(db)) as con:
        return con.execute(f'SELECT * FROM "{name}" ORDER BY 1').fetchall()


# ---- closed standard descriptors ----


@pytest.mark.parametrize(
    "args",
    [
        ["infer", "-"],
        ["infer", "/dev/stdin"],
        ["schema", "-", "--dialect", "sqlite"],
        ["load", "-", "--into", "sqlite:///{db}", "--table", "t"],
    ],
)
def test_closed_stdin_named_as_input_is_an_error(tmp_path, args):
    db = tmp_path / "x.db"
    done = with_closed("<&-", *[a.format(db=db) for a in args])
    assert (done.returncode, done.stderr.decode()) == (1, CLOSED_STDIN)
    assert done.stdout == b""
    assert not db.exists()


def test_closed_stdout_drops_the_output_quietly(tmp_path):
    path = tmp_path / "s.csv"
    path.write_bytes(ROWS)
    done = with_closed(">&-", "infer", str(path))
    assert (done.returncode, done.stderr) == (0, b"")


def test_closed_stderr_keeps_errors_out_of_the_output(tmp_path):
    done = with_closed("2>&-", "infer", str(tmp_path / "missing.csv"))
    assert (done.returncode, done.stdout) == (1, b"")


# ---- a load from stdin ----


@pytest.mark.parametrize(
    "data, status, says",
    [
        (ROWS, 0, b"t: 2 rows from <stdin>\n"),
        (b"a,b\n1,x\n2,y,z\n", 1, b"quorle: error: <stdin>, line 3: "),
    ],
)
def test_a_load_from_stdin_names_it_stdin(tmp_path, data, status, says):
    db = tmp_path / "x.db"
    done = quorle("load", "-", "--into", f"sqlite:///{db}", "--table", "t", stdin=data)
    assert done.returncode == status, done.stderr
    assert says in done.stdout + done.stderr
    # Only the line about the spool names the temporary file.
    lines = (done.stdout + done.stderr).splitlines()
    assert [line for line in lines if b"quorle-spool" in line and b" spooled to " not in line] == []
    if status == 0:
        assert table(db, "t") == [(1, "x"), (2, "y")]


def test_a_load_from_stdin_needs_a_table_name(tmp_path):
    db = tmp_path / "x.db"
    done = quorle("load", "-", "--into", f"sqlite:///{db}", stdin=ROWS)
    assert done.returncode == 2
    assert done.stderr.startswith(b"quorle: error: ") and b"--table NAME" in done.stderr
    assert b"spooled" not in done.stderr  # refused before stdin is read
    assert not db.exists()


# ---- file names that are not UTF-8 ----


@pytest.fixture
def latin1_named(tmp_path):
    """A file named caf\\xe9.csv (latin-1), and the bytes it holds."""

    def write(data: bytes) -> bytes:
        path = os.fsencode(tmp_path) + b"/caf\xe9.csv"
        with open(path, "wb") as f:
            f.write(data)
        return path

    return write


def test_a_file_name_not_utf8_loads(tmp_path, latin1_named):
    db = tmp_path / "x.db"
    path = latin1_named(ROWS)
    done = subprocess.run(
        [QUORLE, "load", path, "--into", f"sqlite:///{db}"],
        capture_output=True, timeout=HANG_GUARD, check=False,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert b"caf_: 2 rows from " in done.stdout and b"caf\\xe9.csv" in done.stdout
    assert table(db, "caf_") == [(1, "x"), (2, "y")]


def test_a_file_name_not_utf8_is_named_in_a_failed_load(tmp_path, latin1_named):
    db = tmp_path / "x.db"
    path = latin1_named(b"a,b\n1,x\n2,y,z\n")
    done = subprocess.run(
        [QUORLE, "load", path, "--into", f"sqlite:///{db}"],
        capture_output=True, timeout=HANG_GUARD, check=False,
    )  # fmt: skip
    assert done.returncode == 1
    assert b"caf\\xe9.csv, line 3: " in done.stderr and b"Traceback" not in done.stderr
    assert not db.exists()


def test_a_file_name_not_utf8_gets_a_schema(latin1_named):
    path = latin1_named(ROWS)
    done = subprocess.run(
        [QUORLE, "schema", path, "--dialect", "sqlite"],
        capture_output=True, timeout=HANG_GUARD, check=False,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(b'CREATE TABLE "caf_" (')


# ---- stop signals while the pool starts ----

STOP_RUNS = 15
# Seconds from the pool's process server appearing to the signal: while the first workers
# start, and soon after.
STOP_DELAYS = (0.0, 0.001, 0.003, 0.01, 0.03)
POLL_SECONDS = 0.0005


def pool_started(pid: int) -> bool:
    """Whether the process has started the server its pool's workers are forked from."""
    for task in pathlib.Path(f"/proc/{pid}/task").glob("*"):
        with contextlib.suppress(OSError):
            for child in (task / "children").read_text().split():
                if b"forkserver" in pathlib.Path(f"/proc/{child}/cmdline").read_bytes():
                    return True
    return False


@pytest.fixture
def many_files(tmp_path):
    folder = tmp_path / "many"
    folder.mkdir()
    for i in range(40):
        (folder / f"f{i:02}.csv").write_bytes(b"a,b\n%d,x\n" % i)
    # A FIFO no one writes to: a worker waits on it, so the run never ends on its own.
    fifo = tmp_path / "never.csv"
    os.mkfifo(fifo)
    return [str(folder), str(fifo)]


def stopped_run(files: list[str], signum: int, delay: float) -> tuple[int, bytes]:
    """The status and stderr of `infer FILES --jobs 2` stopped by `signum`, `delay` seconds
    after its pool starts: SIGINT to its process group, as a terminal's Ctrl-C, SIGTERM to
    the command alone."""
    with bounded(subprocess.Popen(
        [QUORLE, "infer", *files, "--jobs", "2"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True,
    ), HANG_GUARD) as proc:  # fmt: skip
        try:
            deadline = time.monotonic() + HANG_GUARD
            while not pool_started(proc.pid):
                assert proc.poll() is None and time.monotonic() < deadline, "no pool started"
                time.sleep(POLL_SECONDS)
            time.sleep(delay)
            if signum == signal.SIGINT:
                os.killpg(proc.pid, signum)
            else:
                proc.send_signal(signum)
            _, err = proc.communicate(timeout=HANG_GUARD)
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)  # whatever is left of the group
    return proc.returncode, err


def test_stop_signals_as_the_pool_starts_say_one_line(many_files):
    said = {signal.SIGINT: b"\nquorle: interrupted\n", signal.SIGTERM: b"quorle: terminated\n"}
    for run in range(STOP_RUNS):
        signum = (signal.SIGINT, signal.SIGTERM)[run % 2]
        delay = STOP_DELAYS[run % len(STOP_DELAYS)]
        status, err = stopped_run(many_files, signum, delay)
        assert (status, err) == (128 + signum, said[signum]), (signum, delay)
