"""One file read on several threads (`jobs`) or as byte ranges on an executor: the report is
the sequential pass's, on files whose rows are hard to find from a cut, and on real executors
(a spawned process pool, a local Dask cluster of two worker processes)."""

import multiprocessing
import os
import random
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest
from processes import bounded

import quorle
import quorle_ext
from quorle.inference import ranges

# Types that never match the same text, so that a file can be split.
PATTERNS = {
    "integer": [r"-?[0-9]+"],
    "decimal": [r"-?[0-9]+\.[0-9]+"],
    "name": [r"[A-Z][a-z]+"],
    "flag": [r"yes|no"],
}
# "integer" and "number" both match "12": counts depend on the order types are tried in.
OVERLAPPING = {"integer": [r"-?[0-9]+"], "number": [r"-?[0-9]+(\.[0-9]+)?"], "name": [r"[a-z]+"]}
NA_VALUES = ["", "NA"]
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite
# Big enough for the engine to split on threads.
SPLIT_ROWS = 60_000


def _field(rng, line_end):
    kind = rng.randrange(9)
    if kind == 0:
        return str(rng.randint(-999, 99999))
    if kind == 1:
        return f"{rng.randint(0, 99)}.{rng.randint(0, 99):02d}"
    if kind == 2:
        return rng.choice(["Ann", "Bob", "Cid", "Dee", "Éva", "Zoë"])
    if kind == 3:
        return rng.choice(["yes", "no", "", "NA"])
    if kind == 4:
        # A quoted field holding line ends, a delimiter and a doubled quote.
        inner = line_end.join(
            rng.choice(["a", 'b""c', "d,e", "ü"]) for _ in range(rng.randint(1, 4))
        )
        return f'"{inner}"'
    if kind == 5:
        return '"' + str(rng.randint(0, 99)) + '"'
    if kind == 6:
        return "€" * rng.randint(1, 3)  # multi-byte characters a cut can fall inside
    return rng.choice(["x-1", "?", "ok!"])


def tricky_bytes(seed, rows, line_end="\n", *, header="id,price,who,id,,flag", ragged=True):
    """A file whose quoted fields hold line ends, with ragged rows and repeated and empty
    header names; `line_end` may be "\\r\\n", "\\r" or "mixed"."""
    rng = random.Random(seed)
    ends = ["\n", "\r\n", "\r"] if line_end == "mixed" else [line_end]
    width = header.count(",") + 1
    out = [header]
    for _ in range(rows):
        size = rng.randint(1, width + 2) if ragged and rng.random() < 0.1 else width
        out.append(",".join(_field(rng, rng.choice(ends)) for _ in range(size)))
    body = "".join(line + rng.choice(ends) for line in out)
    return body.encode()


# name -> the file's bytes, built on demand (some are large).
CASES = {
    "quoted line ends": lambda rows: tricky_bytes(1, rows),
    "crlf": lambda rows: tricky_bytes(2, rows, "\r\n"),
    "cr only": lambda rows: tricky_bytes(3, rows, "\r"),
    "mixed line ends": lambda rows: tricky_bytes(4, rows, "mixed"),
    "bom": lambda rows: b"\xef\xbb\xbf" + tricky_bytes(5, rows),
    "unclosed quote": lambda rows: tricky_bytes(6, rows) + b'1,"never closed,\n2,3\n' * 3,
    "no final line end": lambda rows: tricky_bytes(7, rows).rstrip(b"\r\n"),
    # What other readers read differently, to be tallied alike: a COPY end line, blank lines,
    # a mid-field quote, a NUL byte and bytes that are not UTF-8.
    "quirks": lambda rows: tricky_bytes(8, rows) + b'\\.\n\n1,a"b,\x00,\xe9\n\n' * 3,
    "one row": lambda rows: b"a,b\n1,x\n",
    "header only": lambda rows: b"a,b,c\n",
    "empty": lambda rows: b"",
}


def write(tmp_path, name, data):
    path = tmp_path / (name.replace(" ", "_") + ".csv")
    path.write_bytes(data)
    return str(path)


def report(result):
    return result.to_dict()


OPTIONS = [
    {"patterns": PATTERNS, "na_values": NA_VALUES, "extras": True},
    # The default table, made exclusive; a window that empties the cache inside a range.
    {"priority": True, "extras": True, "window": 1000},
]


@pytest.mark.parametrize("case", ["quoted line ends", "crlf", "mixed line ends", "bom"])
@pytest.mark.parametrize("jobs", [2, 3, 7])
def test_threads_give_the_sequential_report(tmp_path, case, jobs):
    path = write(tmp_path, case, CASES[case](SPLIT_ROWS))
    options = OPTIONS[0]
    assert report(quorle.infer(path, jobs=jobs, **options)) == report(
        quorle.infer(path, jobs=1, **options)
    )


@pytest.fixture(scope="module")
def spawned_pool():
    pool = ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
    yield pool
    pool.shutdown()


@pytest.fixture(params=["dask", "spawned pool", "threads"])
def executor(request):
    if request.param == "dask":
        yield request.getfixturevalue("dask_client").get_executor()
    elif request.param == "spawned pool":
        yield request.getfixturevalue("spawned_pool")
    else:
        with ThreadPoolExecutor(3) as pool:
            yield pool


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("chunk_size", [64, 997, "4kB"])
def test_ranges_on_an_executor_give_the_sequential_report(tmp_path, executor, case, chunk_size):
    # Small ranges: many of them, and many cuts inside quoted fields and characters.
    path = write(tmp_path, case, CASES[case](150))
    for options in OPTIONS:
        got = quorle.infer(path, executor=executor, chunk_size=chunk_size, **options)
        assert report(got) == report(quorle.infer(path, jobs=1, **options))


def test_a_row_longer_than_several_ranges(tmp_path, executor):
    # A quoted field far longer than a range: the ranges it covers hold no row start.
    long_field = '"' + "x\n" * 5000 + '"'
    data = f"a,b\n1,{long_field}\n2,yes\n3,{long_field}\n4,no\n".encode()
    path = write(tmp_path, "long row", data)
    got = quorle.infer(path, executor=executor, chunk_size=512, **OPTIONS[0])
    assert report(got) == report(quorle.infer(path, jobs=1, **OPTIONS[0]))


OVERLAP_NOTE = "read on one core: the types overlap"


@pytest.mark.parametrize("how", ["threads", "executor"])
def test_overlapping_types_read_on_one_core_with_a_warning(tmp_path, how, spawned_pool):
    path = write(tmp_path, "overlap", CASES["quoted line ends"](SPLIT_ROWS))
    options = {"patterns": OVERLAPPING, "na_values": NA_VALUES}
    spread = {"jobs": 2} if how == "threads" else {"executor": spawned_pool, "chunk_size": 10_000}
    got = quorle.infer(path, **spread, **options)
    want = quorle.infer(path, jobs=1, **options)

    notes = [w for w in got.warnings if w.startswith(OVERLAP_NOTE)]
    assert len(notes) == 1 and "'integer' and 'number'" in notes[0] and "priority" in notes[0]
    assert not any(w.startswith(OVERLAP_NOTE) for w in want.warnings)
    assert [w for w in got.warnings if w not in notes] == want.warnings
    assert [(c.name, c.counts) for c in got.columns] == [(c.name, c.counts) for c in want.columns]
    # With priority the types no longer overlap, and nothing is read on one core for them.
    split = quorle.infer(path, **spread, priority=True, **options)
    assert not any(w.startswith(OVERLAP_NOTE) for w in split.warnings)


@pytest.mark.parametrize("spread", [{"jobs": 2}, {"jobs": None}, {"executor": "pool"}])
def test_a_pipe_is_read_once_on_one_core(tmp_path, spread, spawned_pool):
    regular = write(tmp_path, "regular", CASES["quoted line ends"](2000))
    want = quorle.infer(regular, jobs=1, **OPTIONS[0])
    fifo = str(tmp_path / "pipe.csv")
    os.mkfifo(fifo)
    if spread.get("executor") == "pool":
        spread = {"executor": spawned_pool, "chunk_size": 100}
    # Another process writes: a pass on one core holds the interpreter lock.
    with bounded(subprocess.Popen(["cp", regular, fifo]), HANG_GUARD) as writer:
        got = quorle.infer(fifo, delimiter=",", **spread, **OPTIONS[0])
    assert writer.returncode == 0
    assert (got.rows, got.columns, got.warnings) == (want.rows, want.columns, want.warnings)


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"jobs": 2, "executor": "pool"}, "not both"),
        ({"jobs": 0}, "jobs"),
        ({"jobs": True}, "jobs"),
        ({"jobs": 1.5}, "jobs"),
        ({"chunk_size": 0}, "at least one byte"),
        ({"chunk_size": "12 parsecs"}, "not a unit"),
        ({"chunk_size": "MBMB1"}, "not a number"),
        ({"chunk_size": 1.5e6}, "chunk_size"),
    ],
)
def test_bad_spreading_arguments_raise_before_reading(tmp_path, spawned_pool, arguments, message):
    if arguments.get("executor") == "pool":
        arguments = {**arguments, "executor": spawned_pool}
    # The file does not exist: an argument checked after opening it would raise OSError.
    with pytest.raises(ValueError, match=message):
        quorle.infer(str(tmp_path / "absent.csv"), **arguments)


@pytest.mark.parametrize(
    "text",
    ["256MB", "256 MB", "1.5GB", "5kB", "5k", "5K", "5KiB", "5ki", "MB", "10", "3b", "256mib",
     " 12 kb ", "1e3", "2TiB"],
)  # fmt: skip
def test_chunk_sizes_read_as_dask_reads_them(text):
    utils = pytest.importorskip("dask.utils")
    assert ranges.parse_bytes(text) == utils.parse_bytes(text)


def test_infer_many_hands_jobs_to_its_pool_not_to_each_pass(tmp_path):
    path = write(tmp_path, "small", CASES["crlf"](50))
    with pytest.raises(TypeError, match="chunk_size"):
        quorle.infer_many([path], chunk_size="1MB")
    with pytest.raises(ValueError, match="jobs"):
        quorle.infer_many([path], jobs=0)


# "y" matches both types: which one it gets depends on what the column met before it, and on
# what the value cache remembers.
ORDER_DEPENDENT = {"a": ["x|y"], "b": ["y|z"]}


@pytest.mark.parametrize(
    "first, second",
    [
        # The first file teaches the column's trial order and the cache that "y" is a "b".
        (b"c,\nz\ny\nz\n", b"c,\ny\nx\n"),
        # Empty header cells are numbered afresh in every file.
        (b",,\n1,2,3\n", b"d,,\ny,z\n"),
    ],
)
def test_a_kept_table_starts_every_file_afresh(tmp_path, first, second):
    paths = [write(tmp_path, name, data) for name, data in [("first", first), ("second", second)]]
    options = {"patterns": ORDER_DEPENDENT, "na_values": [], "jobs": 1}
    quorle.infer(paths[0], **options)  # compiles the table, which the next pass reuses
    got = quorle.infer(paths[1], **options)

    # A session of its own, built from nothing.
    alone = quorle_ext.Inf(paths[1], ",", ORDER_DEPENDENT, set(), False, False, "", 100000)
    alone.infer_types()
    assert [c.name for c in got.columns] == alone.col_names
    candidates = alone.get_col_type_candidates()
    for column in got.columns:
        want = {kind: n for kind, n in candidates[column.name].items() if n}
        assert {kind: n for kind, n in column.counts.items() if n} == want


def test_a_descriptor_of_this_process_is_read_here_not_on_the_executor(tmp_path, spawned_pool):
    # /dev/fd/N resolves to the file, but a worker opening it would get its own descriptor N.
    path = write(tmp_path, "behind", CASES["quoted line ends"](300))
    fd = os.open(path, os.O_RDONLY)
    try:
        got = quorle.infer(f"/dev/fd/{fd}", executor=spawned_pool, chunk_size=1000, **OPTIONS[0])
    finally:
        os.close(fd)
    want = quorle.infer(path, jobs=1, **OPTIONS[0])
    assert report(got) == {**report(want), "path": f"/dev/fd/{fd}"}


def test_a_relative_path_is_read_after_the_working_folder_is_removed(tmp_path):
    # The folder's removal makes os.getcwd() fail; the file is still there to read, and the
    # check for descriptors of this process must not stop it.
    (tmp_path / "x.csv").write_bytes(b"a,b\n1,2\n")
    inner = tmp_path / "gone"
    inner.mkdir()
    code = "import os, quorle\nos.rmdir(os.getcwd())\nprint(quorle.infer('../x.csv'))"
    done = subprocess.run([sys.executable, "-c", code], cwd=inner, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "rows=1" in done.stdout, done.stdout


def test_an_executor_that_cannot_run_a_range_leaves_the_file_to_one_core(tmp_path):
    path = write(tmp_path, "quoted", CASES["quoted line ends"](300))
    pool = ThreadPoolExecutor(2)
    pool.shutdown()  # takes no more tasks
    got = quorle.infer(path, executor=pool, chunk_size=1000, **OPTIONS[0])
    want = quorle.infer(path, jobs=1, **OPTIONS[0])

    note = "read on one core: a range raised an error (RuntimeError: "
    assert [w for w in got.warnings if w.startswith(note)] == got.warnings[-1:]
    noted = {
        "warnings": [*want.warnings, got.warnings[-1]],
        "warning_details": [*want.warning_details, got.warnings[-1]],
    }
    assert report(got) == {**report(want), **noted}


@pytest.mark.parametrize("spread", [{"jobs": 2}, {"executor": "pool", "chunk_size": 1000}])
def test_an_expression_too_costly_to_match_raises_as_on_one_core(tmp_path, spread, spawned_pool):
    # Backtracking that Boost gives up on, in a file large enough to split.
    rows = "".join(f"{i},{i}\n" for i in range(SPLIT_ROWS)) + "a" * 40 + ",3\n"
    path = write(tmp_path, "evil", ("c,d\n" + rows).encode())
    options = {"patterns": {"evil": ["(a*)*b"], "integer": ["[0-9]+"]}}
    if spread.get("executor") == "pool":
        spread = {**spread, "executor": spawned_pool}
    with pytest.raises(RuntimeError, match="complexity") as one_core:
        quorle.infer(path, jobs=1, **options)
    with pytest.raises(RuntimeError) as spread_out:
        quorle.infer(path, **spread, **options)
    assert str(spread_out.value) == str(one_core.value) and path in str(one_core.value)
