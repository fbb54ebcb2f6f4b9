"""The `quorle` command on many files, run as a user runs it: the installed console script in a
subprocess, on a local process pool and on a local Dask cluster."""

import errno
import fcntl
import json
import os
import pathlib
import pty
import re
import signal
import struct
import subprocess
import sys
import termios
import threading
import time

import pytest
from test_many import PATTERNS, random_rows, write_table

from quorle.command.progress import files_line
from quorle.loading.progress import ProgressBar, file_line

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
# Only guards against a hang; no test depends on how long anything takes.
GUARD_SECONDS = 120


def run(*args):
    return subprocess.run(
        [QUORLE, *args], capture_output=True, text=True, timeout=GUARD_SECONDS, check=False
    )


@pytest.fixture
def exports(tmp_path):
    """A folder of daily exports: four with one header, two with another, and a broken link."""
    folder = tmp_path / "exports"
    folder.mkdir()
    headers = [["id", "price", "who"]] * 4 + [["when", "flag"]] * 2
    for i, header in enumerate(headers):
        write_table(folder / f"day{i}.csv", header, random_rows(i, len(header), 30))
    (folder / "day9.csv").symlink_to(tmp_path / "lost.csv")
    patterns = tmp_path / "patterns.json"
    patterns.write_text(__import__("json").dumps(PATTERNS))
    return folder, str(patterns)


@pytest.fixture(params=["pool", "dask"])
def executor_args(request):
    if request.param == "pool":
        return ["--jobs", "2"]
    client = request.getfixturevalue("dask_client")
    return ["--dask", client.scheduler.address]


def test_infer_on_a_folder_reports_every_file_and_each_header(exports, executor_args):
    folder, patterns = exports
    done = run("infer", str(folder), "--patterns", patterns, *executor_args)

    assert done.returncode == 1, done.stderr
    lost = str(folder / "day9.csv")
    assert re.findall(r"error: (.*?): (\w+):", done.stderr) == [(lost, "missing")]
    headings = re.findall(r"^(\S+): (\d+) data rows", done.stdout, re.M)
    assert [h[0] for h in headings] == [str(folder / f"day{i}.csv") for i in range(6)]
    group_heading = r"^(\d+) files with the same (\d+) columns, (\d+) data rows"
    groups = re.findall(group_heading, done.stdout, re.M)
    rows = [int(h[1]) for h in headings]
    assert groups == [("4", "3", str(sum(rows[:4]))), ("2", "2", str(sum(rows[4:])))]


def test_schema_prints_one_table_per_header_loading_each_file(exports, executor_args):
    folder, patterns = exports
    glob = str(folder / "day*.csv")
    args = ["schema", glob, "--dialect", "duckdb", "--load", "--patterns", patterns]
    done = run(*args, "--keep-going", *executor_args)

    assert done.returncode == 1, done.stderr
    assert re.findall(r'^CREATE TABLE "(\w+)"', done.stdout, re.M) == ["day0", "day4"]
    loads = re.findall(r'^COPY "(\w+)" FROM \'(.*?)\'', done.stdout, re.M)
    assert loads == [("day0" if i < 4 else "day4", str(folder / f"day{i}.csv")) for i in range(6)]
    lost = folder / "day9.csv"
    assert re.findall(r"^-- Failed, so no table: (.*?):", done.stdout, re.M) == [str(lost)]
    # Without --keep-going a failure leaves nothing to run.
    done = run(*args, *executor_args)
    assert (done.returncode, done.stdout) == (1, "")
    assert "no statements printed" in done.stderr


def test_strict_stops_at_the_failure(exports):
    folder, patterns = exports
    done = run("infer", str(folder / "day9.csv"), str(folder), "--strict", "--patterns", patterns)
    assert done.returncode == 1
    assert done.stderr.count("error:") == 1 and "day9.csv: missing" in done.stderr


def descendants(pid):
    """Every process below `pid` with its depth (1: a child), from the parent links in /proc."""
    parents = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            continue
    found, frontier, depth = {}, {pid}, 0
    while frontier:
        depth += 1
        frontier = {child for child, parent in parents.items() if parent in frontier}
        found.update(dict.fromkeys(frontier, depth))
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def open_writer_once_read(fifo, proc):
    """Opens `fifo` for writing as soon as some process reads it, without blocking, so that a
    command that never gets there fails the test instead of hanging it."""
    deadline = time.monotonic() + GUARD_SECONDS
    while proc.poll() is None and time.monotonic() < deadline:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO:  # ENXIO: no reader yet
                raise
        time.sleep(0.02)
    proc.kill()
    pytest.fail(f"no worker opened {fifo}: {proc.communicate()}")


def test_ctrl_c_stops_the_pool_and_leaves_no_worker(exports, tmp_path):
    folder, patterns = exports
    fifo = str(tmp_path / "stalls.csv")
    os.mkfifo(fifo)
    proc = subprocess.Popen(
        [QUORLE, "infer", fifo, str(folder), "--jobs", "2", "--patterns", patterns],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )  # fmt: skip
    # Once a worker has opened the pipe, our writer keeps it waiting for data.
    writer = open_writer_once_read(fifo, proc)
    try:
        workers = descendants(proc.pid)
        assert max(workers.values()) > 1, workers
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=GUARD_SECONDS)
    finally:
        os.close(writer)
    assert proc.returncode == 130, err
    assert "interrupted" in err
    # The pool's workers (below the process server) are ended before the command exits.
    assert [pid for pid, depth in workers.items() if depth > 1 and alive(pid)] == []
    # The command's helpers (process server, resource tracker) end once it has gone.
    deadline = time.monotonic() + GUARD_SECONDS
    while any(alive(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert [pid for pid in workers if alive(pid)] == []


def session_processes(sid):
    """Live processes of session `sid`, from /proc."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append(int(entry))
    return found


# A terminal sends Ctrl-C and its hangup to every process of the foreground group; kill sends
# to the command alone.
@pytest.mark.parametrize("to", ["command", "group"])
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_stop_signal_ends_every_process_with_one_line(exports, tmp_path, signum, to):
    if signal.getsignal(signum) is signal.SIG_IGN:
        # Under nohup the command inherits the ignored hangup and keeps it, as it should.
        pytest.skip(f"this test run ignores {signal.Signals(signum).name}")
    folder, patterns = exports
    fifo = str(tmp_path / "stalls.csv")
    os.mkfifo(fifo)
    proc = subprocess.Popen(
        [QUORLE, "infer", fifo, str(folder), "--jobs", "2", "--patterns", patterns],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )  # fmt: skip
    # A worker blocked on the pipe keeps the run going until the signal.
    writer = open_writer_once_read(fifo, proc)
    try:
        assert len(session_processes(proc.pid)) > 2
        if to == "group":
            os.killpg(proc.pid, signum)
        else:
            proc.send_signal(signum)
        _, err = proc.communicate(timeout=GUARD_SECONDS)
    finally:
        os.close(writer)
    assert proc.returncode == 128 + signum, err
    assert len(err.strip().splitlines()) == 1 and "Traceback" not in err, err
    word = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}
    assert err.strip() == f"quorle: {word[signum]}"
    # The limit only turns a process that never ends into a failure.
    deadline = time.monotonic() + GUARD_SECONDS
    while session_processes(proc.pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert session_processes(proc.pid) == []


def test_progress_shows_files_bytes_and_throughput_on_a_terminal(exports):
    folder, patterns = exports
    sizes = sum(os.path.getsize(folder / f"day{i}.csv") for i in range(6))
    main, terminal = pty.openpty()
    chunks = []
    reader = threading.Thread(target=lambda: chunks.extend(iter(lambda: _read(main), b"")))
    reader.start()
    try:
        done = subprocess.run(
            [QUORLE, "infer", str(folder), "--patterns", patterns, "--format", "json"],
            stdout=subprocess.PIPE, stderr=terminal, timeout=GUARD_SECONDS, check=False,
        )  # fmt: skip
    finally:
        os.close(terminal)
        reader.join()
        os.close(main)
    shown = b"".join(chunks).decode()
    assert done.returncode == 1
    final = shown.replace("\r\n", "\n").split("\r")[-1].splitlines()[0]
    assert final.startswith(files_line(7, 7, sizes, sizes, 1.0).split("  ")[0])
    assert re.search(rf"\b{sizes / 1e6:.0f}/{sizes / 1e6:.0f} MB  [0-9.]+ MB/s$", final), final


def _read(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # the terminal's other end closed
        return b""


@pytest.mark.parametrize(
    "files, total_files, done, total, seconds, bar, tail",
    [
        (0, 4, 0, 4_000_000, 0.0, "." * 30, "0/4 files  0/4 MB  - MB/s"),
        (1, 4, 1_000_000, 4_000_000, 2.0, "#" * 7 + "." * 23, "1/4 files  1/4 MB  0.5 MB/s"),
        (4, 4, 4_000_000, 4_000_000, 2.0, "#" * 30, "4/4 files  4/4 MB  2.0 MB/s"),
        # Empty files: the bar goes by files.
        (1, 2, 0, 0, 1.0, "#" * 15 + "." * 15, "1/2 files  0/0 MB  0.0 MB/s"),
    ],
)
def test_files_line(files, total_files, done, total, seconds, bar, tail):
    assert files_line(files, total_files, done, total, seconds) == f"[{bar}] {tail}"


@pytest.mark.parametrize(
    "done, total, seconds, rows, bar, tail",
    [
        (0, 4_000_000, 0.0, 0, "." * 30, "  0% 0/4 MB  - MB/s  0 rows"),
        (
            1_000_000,
            4_000_000,
            2.0,
            12_345,
            "#" * 7 + "." * 23,
            " 25% 1/4 MB  0.5 MB/s  12,345 rows",
        ),
        # Read ahead past the size given (a compressed file's offset): the bar stops full.
        (5_000_000, 4_000_000, 1.0, None, "#" * 30, "100% 5/4 MB  5.0 MB/s"),
        # An empty file.
        (0, 0, 1.0, None, "." * 30, "  0% 0/0 MB  0.0 MB/s"),
    ],
)
def test_file_line(done, total, seconds, rows, bar, tail):
    assert file_line("f.csv", done, total, seconds, rows) == f"f.csv [{bar}] {tail}"


@pytest.mark.parametrize("columns", [40, 0])
def test_a_bar_never_wraps_the_terminal(columns):
    # A wrapped line is not redrawn by a carriage return; a width of 0 is unknown (80).
    main, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    with os.fdopen(terminal, "w") as stream:
        bar = ProgressBar("a" * 40, 10**12, stream)
        bar.update(5 * 10**11, 123_456_789)
        shown = os.read(main, 4096).decode()
    os.close(main)
    line = shown.split("\r")[-1]
    assert line.startswith("...") and len(line) == (columns or 80) - 1, line


OVERLAPPING = {
    "integer": [r"-?[0-9]+"],
    "number": [r"-?[0-9]+(\.[0-9]+)?"],
    "name": [r"[A-Z][a-z]+"],
}


@pytest.fixture
def one_big_file(tmp_path):
    """A file large enough to split, and pattern files of exclusive and overlapping types."""
    header = ["id", "price", "who", "flag"]
    path = write_table(tmp_path / "big.csv", header, random_rows(3, len(header), 80_000))
    tables = {}
    for name, table in [("exclusive", PATTERNS), ("overlapping", OVERLAPPING)]:
        tables[name] = tmp_path / f"{name}.json"
        tables[name].write_text(json.dumps(table))
    return path, tables


def without_time(report):
    return re.sub(r"inferred in [0-9.]+ m?s", "inferred in ...", report)


@pytest.mark.parametrize("spread", [["--jobs", "2"], ["--jobs", "3"], ["--dask"]])
@pytest.mark.parametrize("table", ["exclusive", "overlapping"])
def test_one_file_on_many_cores_or_a_cluster_is_a_one_file_report(
    request, one_big_file, spread, table
):
    path, tables = one_big_file
    if spread == ["--dask"]:
        address = request.getfixturevalue("dask_client").scheduler.address
        spread = ["--dask", address, "--chunk-size", "100kB"]
    patterns = ["--patterns", str(tables[table])]
    want = run("infer", path, "--jobs", "1", "--extras", *patterns)
    assert want.returncode == 0, want.stderr
    assert "inferred in" in want.stdout
    got = run("infer", path, "--extras", *patterns, *spread)

    assert got.returncode == 0, got.stderr
    assert without_time(got.stdout) == without_time(want.stdout)
    note = f"quorle: {path}: warning: read on one core: the types overlap"
    lines = got.stderr.splitlines()
    if table == "overlapping":
        assert [line for line in lines if not line.startswith(note)] == want.stderr.splitlines()
        assert len(lines) == len(want.stderr.splitlines()) + 1
    else:
        assert got.stderr == want.stderr
