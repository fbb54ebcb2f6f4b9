"""infer_many on a real process pool and on a real local Dask cluster: results per file, sums per
header, failures that stay with their own file, and a worker killed while it reads."""

import json
import multiprocessing
import os
import pickle
import random
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor

import pytest

import quorle
from quorle.engine import sources
from quorle.inference import many, scheduler
from quorle.inference.groups import sum_groups
from quorle.inference.outcomes import (
    FAILED,
    FOLDER,
    MISSING,
    UNREADABLE,
    WORKER_DIED,
    FileFailedError,
)

# Types that never match the same text, so counts cannot depend on trial order or the cache.
PATTERNS = {
    "integer": [r"-?[0-9]+"],
    "decimal": [r"-?[0-9]+\.[0-9]+"],
    "name": [r"[A-Z][a-z]+"],
    "flag": [r"yes|no"],
}
NA_VALUES = ["", "NA"]
BREAK_GUARD = 60  # seconds for a worker to reach the pipe the test holds it at
FIELD_MAKERS = [
    lambda r: str(r.randint(-999, 999)),
    lambda r: f"{r.randint(0, 99)}.{r.randint(0, 99):02d}",
    lambda r: r.choice(["Ann", "Bob", "Cid", "Dee"]),
    lambda r: r.choice(["yes", "no"]),
    lambda r: r.choice(["", "NA"]),
    lambda r: r.choice(["x-1", "?", "ok!"]),
]


@pytest.fixture
def dask_executor(dask_client):
    return dask_client.get_executor()


@pytest.fixture(params=["pool", "dask", "given-pool"])
def executor(request):
    """None (the default process pool), a Dask cluster's executor, or a process pool of the
    caller's own (spawned, with none of our settings)."""
    if request.param == "pool":
        yield None
    elif request.param == "dask":
        yield request.getfixturevalue("dask_executor")
    else:
        pool = ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
        yield pool
        pool.shutdown()


@pytest.fixture
def pattern_file(tmp_path):
    path = tmp_path / "patterns.json"
    path.write_text(json.dumps(PATTERNS))
    return str(path)


def random_rows(seed, width, count):
    rng = random.Random(seed)
    rows = []
    for _ in range(count):
        # Now and then a short row, whose missing fields count nowhere.
        size = width if rng.random() > 0.1 else rng.randint(1, width)
        rows.append([rng.choice(FIELD_MAKERS)(rng) for _ in range(size)])
    return rows


def write_table(path, header, rows, delimiter=",", bom=False):
    text = "\n".join(delimiter.join(r) for r in [header, *rows]) + "\n"
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + text.encode())
    return str(path)


def same_file_results(got, want):
    assert got.rows == want.rows
    assert [(c.name, c.counts, c.suggested) for c in got.columns] == [
        (c.name, c.counts, c.suggested) for c in want.columns
    ]


# Files of two headers; "" is an empty header cell, named by the engine, the same in every file
# only if each file gets an engine of its own. Tab files are read with their own delimiter.
GROUP_FILES = [
    # name, header, delimiter, byte order mark, rows
    ("a1.csv", ["id", "price", "who", ""], ",", False, 40),
    ("b1.csv", ["when", "flag"], ",", False, 25),
    ("a2.tsv", ["id", "price", "who", ""], "\t", True, 33),
    ("a3.csv", ["id", "price", "who", ""], ",", True, 0),
    ("b2.csv", ["when", "flag"], ",", False, 61),
    ("a4.csv", ["id", "price", "who", ""], ",", False, 52),
]


def test_groups_equal_one_pass_over_all_their_rows(executor, tmp_path, pattern_file):
    paths, rows_by_header = [], {}
    for seed, (name, header, delimiter, bom, count) in enumerate(GROUP_FILES):
        rows = random_rows(seed, len(header), count)
        paths.append(write_table(tmp_path / name, header, rows, delimiter, bom))
        rows_by_header.setdefault(tuple(header), []).extend(rows)

    options = {"patterns": pattern_file, "na_values": NA_VALUES, "extras": True}
    result = quorle.infer_many(paths, executor=executor, **options)

    assert [f.path for f in result.files] == paths
    for path, got in zip(paths, result.files, strict=True):
        same_file_results(got, quorle.infer(path, **options))
    assert len(result.groups) == len(rows_by_header)
    for group, (header, rows) in zip(result.groups, rows_by_header.items(), strict=True):
        assert group.paths == [
            p for p, f in zip(paths, GROUP_FILES, strict=True) if tuple(f[1]) == header
        ]
        whole = quorle.infer(write_table(tmp_path / "whole.csv", header, rows), **options)
        assert group.header == tuple(c.name for c in whole.columns)
        same_file_results(group.as_file_result(), whole)
    json.dumps(result.to_dict())


def failure_cases(tmp_path):
    """Paths that cannot be read even by root, each with the kind of error it must give."""
    folder = tmp_path / "folder.csv"
    folder.mkdir()
    dangling = tmp_path / "dangling.csv"
    dangling.symlink_to(tmp_path / "nowhere.csv")
    loop = tmp_path / "loop.csv"
    loop.symlink_to(loop)
    latin1 = tmp_path / "latin1.csv"
    latin1.write_bytes("caf\xe9,b\n1,2\n".encode("latin-1"))
    return [
        (str(tmp_path / "absent.csv"), MISSING),
        (str(dangling), MISSING),
        (str(folder), FOLDER),
        (str(loop), UNREADABLE),
        # Opens, then every read fails: the first page of a process's memory is never mapped.
        ("/proc/self/mem", UNREADABLE),
        (str(tmp_path / "folder.csv" / "inside.csv"), MISSING),
        # Read, but not reportable: names handed back must be UTF-8.
        (str(latin1), FAILED),
    ]


def good_files(tmp_path, count):
    header = ["id", "price", "who"]
    return [
        write_table(tmp_path / f"good{i}.csv", header, random_rows(100 + i, len(header), 20))
        for i in range(count)
    ]


@pytest.fixture
def our_pipe():
    """A path to a pipe of this process, as /dev/stdin or <(...) give."""
    read_end, write_end = os.pipe()
    os.write(write_end, b"a,b\n1,2\n")
    os.close(write_end)
    yield f"/dev/fd/{read_end}"
    os.close(read_end)


@pytest.fixture
def our_file_descriptor(tmp_path):
    """A path to a regular file through a descriptor of this process, as `5<file` gives:
    it resolves to the file, but a worker opening the path would get its own descriptor 5."""
    path = tmp_path / "behind.csv"
    path.write_bytes(b"a,b\n1,2\n")
    fd = os.open(path, os.O_RDONLY)
    yield f"/dev/fd/{fd}"
    os.close(fd)


def test_failing_files_say_why_and_lose_nothing(
    executor, tmp_path, pattern_file, our_pipe, our_file_descriptor
):
    bad = [
        *failure_cases(tmp_path),
        (our_pipe, UNREADABLE),
        (our_file_descriptor, UNREADABLE),
    ]
    good = good_files(tmp_path, len(bad) + 1)
    pairs = zip(good, [b[0] for b in bad], strict=False)  # one good file more than bad ones
    paths = [p for pair in pairs for p in pair] + good[len(bad) :]
    result = quorle.infer_many(paths, executor=executor, patterns=pattern_file)

    assert [f.path for f in result.files] == paths
    kinds = {e.path: e.kind for e in result.errors}
    assert kinds == dict(bad)
    assert all(e.message for e in result.errors)
    for path, outcome in zip(paths, result.files, strict=True):
        if path in good:
            same_file_results(outcome, quorle.infer(path, patterns=pattern_file))
    assert [g.paths for g in result.groups] == [good]
    assert result.groups[0].rows == sum(f.rows for f in result.files if f.path in good)


class FifoKiller:
    """Kills, with SIGKILL, every process that opens `fifo` for reading, as an out-of-memory
    killer would: a worker that dies while reading one file."""

    def __init__(self, fifo):
        self.fifo = fifo
        # Pids, not kill events: a dying reader can still hold the pipe open for a moment.
        self.killed = set()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        os.mkfifo(self.fifo)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        # A reader of our own, held until the thread ends, lets its open for writing return
        # whenever it makes it.
        reader = os.open(self.fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            self._thread.join()
        finally:
            os.close(reader)

    def _run(self):
        while not self._stop.is_set():
            writer = os.open(self.fifo, os.O_WRONLY)  # returns once a reader opens
            while not self._stop.is_set():
                readers = self._readers()
                for pid in readers:
                    try:
                        os.kill(pid, signal.SIGKILL)
                        self.killed.add(pid)
                    except ProcessLookupError:
                        pass  # gone between the look and the kill
                if readers:
                    break
                self._stop.wait(0.01)
            os.close(writer)

    def _readers(self):
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            if int(pid) == os.getpid():
                continue
            try:
                fds = os.listdir(f"/proc/{pid}/fd")
                if any(self._reads_fifo(pid, fd) for fd in fds):
                    found.append(int(pid))
            except OSError:
                continue  # gone, or not ours to look into
        return found

    def _reads_fifo(self, pid, fd):
        # Only readers: a child forked by this process (a worker a cluster restarts) holds our
        # own writer until it execs, and is no reader of the file.
        if os.readlink(f"/proc/{pid}/fd/{fd}") != self.fifo:
            return False
        with open(f"/proc/{pid}/fdinfo/{fd}") as info:
            flags = next(line for line in info if line.startswith("flags:"))
        return int(flags.split()[1], 8) & os.O_ACCMODE == os.O_RDONLY


def test_a_dying_worker_fails_only_its_file_after_one_retry(executor, tmp_path, pattern_file):
    good = good_files(tmp_path, 5)
    fifo = str(tmp_path / "kills-its-reader.csv")
    paths = good[:2] + [fifo] + good[2:]
    with FifoKiller(fifo) as killer:
        result = quorle.infer_many(paths, executor=executor, patterns=pattern_file)

    assert len(killer.killed) == scheduler.MAX_ATTEMPTS
    assert [(e.path, e.kind) for e in result.errors] == [(fifo, WORKER_DIED)]
    for path, outcome in zip(paths, result.files, strict=True):
        if path != fifo:
            same_file_results(outcome, quorle.infer(path, patterns=pattern_file))
    assert result.groups[0].paths == good


def test_strict_raises_for_the_failing_file(executor, tmp_path, pattern_file):
    good = good_files(tmp_path, 3)
    missing = str(tmp_path / "absent.csv")
    with pytest.raises(FileFailedError) as caught:
        quorle.infer_many([*good, missing], executor=executor, strict=True, patterns=pattern_file)
    assert (caught.value.error.path, caught.value.error.kind) == (missing, MISSING)


@pytest.mark.parametrize("strict", [False, True])
def test_stdin_among_files_is_read_here_and_outcomes_come_in_order(tmp_path, pattern_file, strict):
    # In a process whose stdin is one of the files: the workers cannot read it.
    good = good_files(tmp_path, 4)
    missing = str(tmp_path / "missing.csv")
    paths = [good[0], sources.STDIN_DEVICE, good[1], missing, good[2], good[3]]
    out = tmp_path / "ordered.pickle"
    script = (
        "import pickle, sys; from quorle.inference import many, scheduler\n"
        "paths, out, patterns, strict = sys.argv[1:7], sys.argv[7], sys.argv[8], sys.argv[9]\n"
        "options = many.check_options({'patterns': patterns})\n"
        "with scheduler.ManyRun(paths, options, jobs=2) as run:\n"
        "    got = list(run.ordered(strict=strict == 'True'))\n"
        "pickle.dump(got, open(out, 'wb'))\n"
    )
    with open(good[3], "rb") as stdin:
        subprocess.run(
            [sys.executable, "-c", script, *paths, out, pattern_file, str(strict)],
            stdin=stdin, check=True, timeout=120,
        )  # fmt: skip
    got = pickle.loads(out.read_bytes())
    indices = [index for index, _ in got]
    assert indices == sorted(indices)
    outcomes = dict(got)
    assert outcomes[1].path == "<stdin>"
    same_file_results(outcomes[1], quorle.infer(good[3], patterns=pattern_file))
    assert outcomes[3].kind == MISSING
    if not strict:
        assert indices == list(range(len(paths)))
        same_file_results(outcomes[5], quorle.infer(good[3], patterns=pattern_file))


def test_stdin_named_twice_is_refused_before_any_file(tmp_path, pattern_file):
    paths = [sources.STDIN_DEVICE, *good_files(tmp_path, 1), sources.STDIN_DEVICE]
    with pytest.raises(ValueError, match="only once"):
        quorle.infer_many(paths, patterns=pattern_file)


@pytest.mark.parametrize(
    "table, options, error",
    [
        ({"broken": ["(unclosed"], **PATTERNS}, {}, ValueError),
        (PATTERNS, {"no_such_option": 1}, TypeError),
        (PATTERNS, {"types_file": "types.csv"}, TypeError),
        (PATTERNS, {"window": -1}, ValueError),
        (PATTERNS, {"delimiter": '"'}, ValueError),
        (PATTERNS, {"na_values": ["NA", 0]}, TypeError),
    ],
)
def test_options_are_checked_once_before_any_file(tmp_path, table, options, error):
    patterns = tmp_path / "patterns.json"
    patterns.write_text(json.dumps(table))
    # Every path is missing: a per-file check would give FileErrors instead of raising.
    paths = [str(tmp_path / f"absent{i}.csv") for i in range(3)]
    with pytest.raises(error):
        quorle.infer_many(paths, patterns=str(patterns), **options)


def column(counts, max_length=None, short_rows=None, examples=None, **more):
    return quorle.ColumnResult("c", counts, "", [], max_length, short_rows, examples, **more)


@pytest.mark.parametrize(
    "parts, want",
    [
        # Counts add up per type, whichever types a file happens to list.
        (
            [column({"integer": 2, "NA": 1}), column({"integer": 3, "other": 4})],
            {"counts": {"integer": 5, "NA": 1, "other": 4}},
        ),
        # The longest field is the longest of any file; short rows add up; None is "not known".
        (
            [column({}, 7, 1), column({}, None, None), column({}, 12, 2)],
            {"max_length": 12, "short_rows": 3},
        ),
        ([column({}), column({})], {"max_length": None, "short_rows": None, "examples": None}),
        # Digits: the most of any file, each side of the point on its own.
        (
            [
                column({}, int_digits=3, frac_digits=0),
                column({}, int_digits=1, frac_digits=7),
                column({}),
            ],
            {"int_digits": 3, "frac_digits": 7},
        ),
        ([column({}), column({})], {"int_digits": None, "frac_digits": None}),
        # Examples: distinct, in file order, no more per type than the fullest file kept.
        (
            [
                column({}, examples={"other": ["a", "b"], "date": ["x"]}),
                column({}, examples={"other": ["b", "c"], "NA": ["-"]}),
                None,
            ],
            {"examples": {"other": ["a", "b"], "date": ["x"], "NA": ["-"]}},
        ),
    ],
)
def test_a_group_column_sums_its_files(parts, want):
    results = [
        quorle.FileResult(f"f{i}.csv", ",", 1, [part or column({})], [])
        for i, part in enumerate(parts)
    ]
    (group,) = sum_groups(results, None)
    got = group.columns[0]
    for name, value in want.items():
        assert getattr(got, name) == value
    assert (got.suggested, got.notes) == quorle.suggest(got.counts, None)
    assert group.rows == len(parts)


def test_folders_and_globs_expand_to_their_files_in_order(tmp_path):
    (tmp_path / "exports").mkdir()
    (tmp_path / "exports" / "sub").mkdir()
    for name in ["b.csv", "a.csv", ".hidden.csv", "c.txt", "sub/d.csv"]:
        (tmp_path / "exports" / name).write_text("x\n1\n")
    (tmp_path / "exports" / "gone.csv").symlink_to(tmp_path / "nowhere")
    os.mkfifo(tmp_path / "exports" / "pipe.csv")
    root = str(tmp_path / "exports")
    cases = [
        ([root], ["a.csv", "b.csv", "c.txt", "gone.csv"]),
        ([root + "/*.csv"], ["a.csv", "b.csv", "gone.csv"]),
        ([root + "/*/*.csv", root + "/c.txt"], ["sub/d.csv", "c.txt"]),
        ([root + "/*.none", root + "/absent.csv"], ["*.none", "absent.csv"]),
    ]
    for args, want in cases:
        assert many.expand_paths(args) == [os.path.join(root, name) for name in want], args


@pytest.mark.parametrize(
    "files, jobs, want",
    [
        # As many files as jobs or more: that many workers, one thread each.
        (10, 2, (2, 1)),
        (2, 2, (2, 1)),
        # Fewer: a worker per file, the jobs shared out among them, never more in all.
        (1, 8, (1, 8)),
        (3, 8, (3, 2)),
        (5, 8, (5, 1)),
        (0, 4, (1, 4)),
    ],
)
def test_jobs_cap_processes_and_threads(files, jobs, want):
    workers, threads = scheduler.share(files, jobs)
    assert (workers, threads) == want
    assert workers * threads <= max(jobs, 1)


SMALL = 1000
LARGE = scheduler.BATCH_BELOW_BYTES


@pytest.mark.parametrize(
    "sizes, workers, want",
    [
        # Few small files: one per call, so that every worker gets some.
        ([SMALL] * 5, 2, [(0,), (1,), (2,), (3,), (4,)]),
        # Many: batches in input order, at least BATCHES_PER_WORKER per worker.
        ([SMALL] * 16, 2, [(0, 1), (2, 3), (4, 5), (6, 7), (8, 9), (10, 11), (12, 13), (14, 15)]),
        # Large files and files of unknown size (missing, or on the cluster only) go alone.
        (
            [SMALL, LARGE, SMALL, None, SMALL] + [SMALL] * 11,
            1,
            [(1,), (3,), (0, 2, 4), (5, 6, 7), (8, 9, 10), (11, 12, 13), (14, 15)],
        ),
        (
            [SMALL] * 1000,
            1,
            [tuple(range(i, i + 64)) for i in range(0, 960, 64)] + [tuple(range(960, 1000))],
        ),
    ],
)
def test_small_files_go_out_in_batches(sizes, workers, want):
    assert scheduler.batches(sizes, workers) == want


def test_a_call_a_breaking_pool_lost_is_retried(tmp_path, pattern_file):
    # A call sent as a pool breaks is never failed by it: the run must not wait for it. Its
    # worker is held in the open of a pipe with no writer, then the pool is marked broken
    # under it, as the breaking pool's thread marks it, and the path becomes a plain file.
    fifo = tmp_path / "held.csv"
    os.mkfifo(fifo)
    plain = write_table(tmp_path / "plain.csv", ["id", "price"], random_rows(3, 2, 50))
    pool = ProcessPoolExecutor(1)
    options = many.check_options({"patterns": pattern_file})

    stalled = []

    def break_the_pool_under_its_call():
        deadline = time.monotonic() + BREAK_GUARD
        while not any(_in_fifo_open(p.pid) for p in list(pool._processes.values())):
            if time.monotonic() > deadline:
                # The run must still end: a writer that comes and goes releases a held open,
                # and the plain file serves any later one.
                stalled.append(BREAK_GUARD)
                writer = os.open(fifo, os.O_RDWR)
                os.replace(plain, fifo)
                os.close(writer)
                return
            time.sleep(0.01)
        os.replace(plain, fifo)
        pool._broken = "broken by the test"

    breaker = threading.Thread(target=break_the_pool_under_its_call, daemon=True)
    try:
        with scheduler.ManyRun([str(fifo)], options, executor=pool) as run:
            breaker.start()
            outcomes = dict(run)
    finally:
        for process in list(pool._processes.values()):
            process.kill()
        pool.shutdown(wait=False)
    assert not stalled, "no worker opened the pipe in time"
    assert run.attempts == [2]
    assert outcomes[0].rows == 50


def _in_fifo_open(pid):
    with open(f"/proc/{pid}/wchan") as f:
        return f.read() == "wait_for_partner"  # the kernel's wait in the open of a pipe


def test_a_batch_whose_worker_dies_is_split_and_retried_file_by_file(tmp_path, pattern_file):
    # Files of some size, so that batches are still being read when the reader of the pipe dies
    # and the pool breaks under them.
    rows = random_rows(7, 3, 6000)
    good = [write_table(tmp_path / f"g{i}.csv", ["id", "price", "who"], rows) for i in range(48)]
    fifo = str(tmp_path / "kills-its-reader.csv")
    paths = [fifo, *good]
    options = many.check_options({"patterns": pattern_file})
    with FifoKiller(fifo) as killer, scheduler.ManyRun(paths, options, jobs=2) as run:
        outcomes = dict(run)

    assert len(killer.killed) == scheduler.MAX_ATTEMPTS
    assert outcomes[0].kind == WORKER_DIED
    want = quorle.infer(good[0], patterns=pattern_file)
    for index in range(1, len(paths)):
        same_file_results(outcomes[index], want)
    # Files that were in a batch when the pool broke went back one by one, and were read.
    retried = [i for i in range(1, len(paths)) if run.attempts[i] == scheduler.MAX_ATTEMPTS]
    assert retried
