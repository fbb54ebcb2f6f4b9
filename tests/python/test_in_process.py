"""A pass in this process lets other Python threads run, reports its progress, and stops
within a block for a signal handler that raises or a cancel from another thread."""

from __future__ import annotations

import array
import fcntl
import gzip
import os
import pathlib
import select
import signal
import subprocess
import sys
import termios
import textwrap
import threading
import time

import pytest
from processes import bounded
from test_cli import HANG_GUARD, QUORLE

import quorle_ext

# Disjoint types with automata: a large file is split.
TABLE = {"int": ["-?[0-9]+"], "dec": ["-?[0-9]+\\.[0-9]+"], "word": ["[a-z]+"]}
# Large enough that a pass stopped within a block has read only part of it, on any core count.
LARGE_BYTES = 40 * 10**6
ROW = b"".join(b"%d,%d.5,word\n" % (i, i) for i in range(1000))


@pytest.fixture(scope="module")
def large(tmp_path_factory) -> pathlib.Path:
    path = tmp_path_factory.mktemp("in_process") / "large.csv"
    with open(path, "wb") as out:
        out.write(b"id,amount,name\n")
        while out.tell() < LARGE_BYTES:
            out.write(ROW)
    return path


def session(path: pathlib.Path) -> quorle_ext.Inf:
    inf = quorle_ext.Inf(str(path), ",", TABLE, {"NA"}, False, False, "", 1000)
    inf._set_input(True, "")
    return inf


def results(inf: quorle_ext.Inf) -> tuple:
    return inf.num_rows, inf.col_names, inf.get_col_type_candidates()


class Sampler:
    """Reads a pass's progress from another thread until stopped; calls `act` once, on the
    first sample that shows bytes read."""

    def __init__(self, progress: quorle_ext._Progress, act=None) -> None:
        self.progress = progress
        self.act = act
        self.samples: list[int] = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self.done.wait(0.001):
            self.samples.append(self.progress.bytes_read)
            if self.act is not None and self.samples[-1] > 0:
                self.act()
                self.act = None

    def __enter__(self) -> Sampler:
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.done.set()
        self.thread.join(HANG_GUARD)


@pytest.mark.parametrize("threads", [1, 4])
def test_progress_grows_to_the_file_size_while_other_threads_run(large, threads):
    progress = quorle_ext._Progress()
    inf = session(large)
    with Sampler(progress) as sampler:
        reason = inf._infer_released(threads, progress=progress)
    size = large.stat().st_size
    assert reason == ""
    assert sampler.samples == sorted(sampler.samples)
    # A sample taken mid-pass: the sampling thread ran while the pass did.
    assert any(0 < s < size for s in sampler.samples)
    # A split reads a little past each cut.
    assert progress.bytes_read == size if threads == 1 else progress.bytes_read >= size


def test_progress_of_a_compressed_file_counts_its_own_bytes(tmp_path):
    path = tmp_path / "rows.csv.gz"
    path.write_bytes(gzip.compress(b"id,amount,name\n" + ROW * 200))
    progress = quorle_ext._Progress()
    inf = session(path)
    inf._infer_released(1, progress=progress)
    assert inf.num_rows == 200 * 1000
    assert progress.bytes_read == path.stat().st_size


@pytest.mark.parametrize("threads", [1, 4])
def test_cancel_from_another_thread_stops_the_pass_and_keeps_the_session(large, threads):
    expected = session(large)
    expected._infer_released(threads)
    progress = quorle_ext._Progress()
    inf = session(large)
    with (
        Sampler(progress, act=progress.cancel),
        pytest.raises(quorle_ext._Cancelled, match="the pass was cancelled"),
    ):
        inf._infer_released(threads, progress=progress)
    assert progress.bytes_read < large.stat().st_size
    inf._infer_released(threads)
    assert results(inf) == results(expected)


class Terminated(Exception):
    pass


def _raise_terminated(signum, frame):
    raise Terminated(signum)


@pytest.fixture
def handlers():
    """Ctrl-C raises KeyboardInterrupt and SIGTERM Terminated, as in the command."""
    previous = {
        signal.SIGINT: signal.signal(signal.SIGINT, signal.default_int_handler),
        signal.SIGTERM: signal.signal(signal.SIGTERM, _raise_terminated),
    }
    yield
    for signum, handler in previous.items():
        signal.signal(signum, handler)


@pytest.mark.parametrize("threads", [1, 4], ids=["sequential", "split"])
@pytest.mark.parametrize(
    ("signum", "raised"),
    [(signal.SIGINT, KeyboardInterrupt), (signal.SIGTERM, Terminated)],
    ids=["SIGINT", "SIGTERM"],
)
def test_a_signal_stops_the_pass_within_a_block(large, handlers, threads, signum, raised):
    progress = quorle_ext._Progress()
    inf = session(large)
    with (
        Sampler(progress, act=lambda: os.kill(os.getpid(), signum)),
        pytest.raises(raised),
    ):
        inf._infer_released(threads, progress=progress)
    assert progress.bytes_read < large.stat().st_size
    inf._infer_released(threads)
    assert inf.num_rows == session_rows(large)


def session_rows(path: pathlib.Path) -> int:
    with open(path, "rb") as f:
        return sum(block.count(b"\n") for block in iter(lambda: f.read(1 << 20), b"")) - 1


def run_python(script: str) -> subprocess.CompletedProcess[str]:
    """A script in a fresh interpreter, so that a pass holding the lock would fail the test
    by its deadline instead of hanging the suite."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )


def test_infer_on_one_thread_lets_a_python_thread_serve_it(large, tmp_path):
    # The pass writes its types into a FIFO that a Python thread empties: were the lock
    # held, the pass would wait on a full pipe and the thread on the lock.
    script = f"""
        import os, threading, quorle
        fifo = {str(tmp_path / "types")!r}
        os.mkfifo(fifo)
        lines = []
        def drain():
            with open(fifo, "rb") as f:
                lines.extend(f)
        reader = threading.Thread(target=drain)
        reader.start()
        result = quorle.infer({str(large)!r}, jobs=1, types_file=fifo)
        reader.join()
        print(result.rows, len(lines))
    """
    done = run_python(script)
    assert done.returncode == 0, done.stderr
    rows = session_rows(large)
    assert done.stdout.split() == [str(rows), str(rows + 1)]


def task_children(pid: int) -> list[str]:
    tasks = pathlib.Path(f"/proc/{pid}/task")
    return [child for task in tasks.iterdir() for child in (task / "children").read_text().split()]


@pytest.mark.parametrize("stop", [None, signal.SIGINT, signal.SIGTERM])
def test_the_command_reads_a_large_file_itself(large, tmp_path, stop):
    fifo = tmp_path / "types"
    os.mkfifo(fifo)
    with bounded(
        subprocess.Popen(
            [QUORLE, "infer", str(large), "--types-file", str(fifo), "--format", "json"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        ),
        HANG_GUARD,
    ) as cli:
        # Data in the FIFO: the command's pass has begun.
        with reader_of(fifo) as types:
            assert types.read(1 << 16)
            # Mid-pass: it waits for this test to read more of its types.
            assert task_children(cli.pid) == []
            if stop is not None:
                cli.send_signal(stop)
            while types.read(1 << 16):
                pass
        out, err = cli.communicate(timeout=HANG_GUARD)
    if stop is None:
        assert cli.returncode == 0, err
        assert '"rows"' in out
    else:
        assert cli.returncode == 128 + stop
        assert out == ""
        message = "interrupted" if stop == signal.SIGINT else "terminated"
        assert err.strip().endswith(f"quorle: {message}")
        assert "Traceback" not in err


def reader_of(fifo: pathlib.Path):
    """The FIFO opened for reading once its writer has written, within the deadline: opened
    without waiting for a writer, then blocking again for the reads that follow."""
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    # Until a writer first opens it, Linux reports no end of file on it, only data.
    assert select.select([fd], [], [], HANG_GUARD)[0], "nothing written"
    os.set_blocking(fd, True)
    return open(fd, "rb")


def write_all(fd: int, data: bytes, cli: subprocess.Popen, deadline: float) -> None:
    """Writes `data` to the non-blocking `fd` as the command reads it, within the deadline."""
    os.set_blocking(fd, False)
    view = memoryview(data)
    while view:
        assert cli.poll() is None and time.monotonic() < deadline, "input not read"
        try:
            view = view[os.write(fd, view) :]
        except BlockingIOError:
            time.sleep(0.01)


def drained(fd: int) -> bool:
    waiting = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, waiting)
    return waiting[0] == 0


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_a_stop_while_the_input_pipe_is_silent_ends_the_command(tmp_path, stop):
    fifo = tmp_path / "input.csv"
    os.mkfifo(fifo)
    # Opened for both ends, so that this open waits for no reader, and the pipe never ends.
    writer = os.open(fifo, os.O_RDWR)
    try:
        with bounded(
            subprocess.Popen(
                [QUORLE, "infer", str(fifo)],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            ),
            HANG_GUARD,
        ) as cli:
            # More than the first block the command peeks at: its pass is then reading.
            deadline = time.monotonic() + HANG_GUARD
            write_all(writer, b"a,b\n" + b"1,2\n" * (1 << 19), cli, deadline)
            while not drained(writer):
                assert cli.poll() is None and time.monotonic() < deadline, "input not read"
                time.sleep(0.01)
            cli.send_signal(stop)
            out, err = cli.communicate(timeout=HANG_GUARD)
    finally:
        os.close(writer)
    assert (cli.returncode, out) == (128 + stop, "")
    assert "Traceback" not in err
