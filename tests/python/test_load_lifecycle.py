"""The files around a `quorle load`: a new database file appears whole or not at all, even
when runs race to create it; quorle's scratch table and scratch folders never meet the
user's objects and never outlive their run, a killed run's included."""

from __future__ import annotations

import concurrent.futures
import contextlib
import os
import pathlib
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from quorle.loading.loader import PAUSE_BEFORE_PUBLISH
from quorle.loading.scratch import lock_file, sweep

duckdb = pytest.importorskip("duckdb")

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
HANG_GUARD = 300  # seconds: only so that a hang fails instead of blocking the suite
WAIT_GUARD = 120  # seconds, for a state a running process is to reach
EMBEDDED = ("sqlite", "duckdb")
RACING_PAIRS = 50
PAIRS_AT_ONCE = 3
OTHER_UID = 65534  # nobody


def write_table(path, tag, rows):
    lines = ["id,tag"] + [f"{i},{tag}" for i in range(rows)]
    path.write_text("\n".join(lines) + "\n")
    return path


def read_table(dialect, path):
    if dialect == "sqlite":
        with contextlib.closing(sqlite3.connect(path)) as con:
            return con.execute("SELECT id, tag FROM t ORDER BY rowid").fetchall()
    con = duckdb.connect(str(path), read_only=True)
    try:
        return con.execute("SELECT id, tag FROM t").fetchall()
    finally:
        con.close()


def expected(tag, rows):
    return [(i, tag) for i in range(rows)]


def start_load(source, url, *extra, env=None, stdin=None):
    return subprocess.Popen(
        [QUORLE, "load", str(source), "--into", url, "--table", "t", *extra],
        stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
    )  # fmt: skip


def finish(procs):
    """(return code, stderr text) of each process."""
    with ending(procs):
        errs = [p.communicate(timeout=HANG_GUARD)[1].decode() for p in procs]
    return [(p.returncode, err) for p, err in zip(procs, errs, strict=True)]


@contextlib.contextmanager
def ending(procs):
    """Kills the processes still running on the way out: a failed test leaves none."""
    try:
        yield
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
            p.wait(timeout=HANG_GUARD)
            for stream in (p.stdin, p.stdout, p.stderr):
                if stream is not None:
                    with contextlib.suppress(OSError):
                        stream.close()


def wait_for(condition, procs, what):
    """Until `condition()` holds; fails if a process ends first or the deadline passes."""
    deadline = time.monotonic() + WAIT_GUARD
    while not condition():
        ended = [p for p in procs if p.poll() is not None]
        if ended or time.monotonic() > deadline:
            pytest.fail(f"no {what}: {[p.stderr.read() for p in ended]!r}")
        time.sleep(0.01)


def leftovers(folder, pattern):
    return sorted(p.name for p in folder.glob(pattern))


# ---- a new database file, and runs racing to create it ----


@pytest.mark.parametrize("dialect", EMBEDDED)
def test_of_two_runs_meeting_before_publishing_one_loads_and_the_other_leaves_it(dialect, tmp_path):
    target = tmp_path / f"new.{dialect}"
    url = f"{dialect}:///{target}"
    gate = tmp_path / "gate"
    env = {**os.environ, PAUSE_BEFORE_PUBLISH: str(gate)}
    sources = [write_table(tmp_path / f"{tag}.csv", tag, 30) for tag in ("a", "b")]
    procs = [start_load(source, url, env=env) for source in sources]
    with ending(procs):
        wait_for(lambda: len(list(tmp_path.glob("gate.*"))) == 2, procs, "meeting")
        assert not target.exists()
        gate.touch()
        outcomes = finish(procs)
    codes = [code for code, _ in outcomes]
    assert sorted(codes) == [0, 1], outcomes
    winner = "ab"[codes.index(0)]
    lost = outcomes[codes.index(1)][1]
    assert lost == f"quorle: error: {target} was created by another run meanwhile: nothing loaded\n"
    assert read_table(dialect, target) == expected(winner, 30)
    assert leftovers(tmp_path, ".*") == []


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_stop_signal_while_publishing_neither_loses_nor_misreports_the_file(tmp_path, signum):
    target = tmp_path / "new.sqlite"
    gate = tmp_path / "gate"
    env = {**os.environ, PAUSE_BEFORE_PUBLISH: str(gate)}
    source = write_table(tmp_path / "a.csv", "a", 30)
    proc = start_load(source, f"sqlite:///{target}", env=env)
    with ending([proc]):
        wait_for(lambda: any(tmp_path.glob("gate.*")), [proc], "publishing")
        proc.send_signal(signum)
        gate.touch()
        out, err = proc.communicate(timeout=HANG_GUARD)
    assert (proc.returncode, err.decode()) == (0, "")
    assert out.decode().startswith(f"t: 30 rows from {source}\nloaded into ")
    assert read_table("sqlite", target) == expected("a", 30)
    assert leftovers(tmp_path, ".*") == []


def race_pair(dialect, folder, index):
    """Two runs loading other rows into the same new file at once: their outcomes, and
    the rows the file holds after both ended (None if there is no file)."""
    target = folder / f"race{index}.{dialect}"
    url = f"{dialect}:///{target}"
    sources = [write_table(folder / f"{tag}{index}.csv", tag, 5) for tag in ("a", "b")]
    outcomes = finish([start_load(source, url) for source in sources])
    held = read_table(dialect, target) if target.exists() else None
    return target, outcomes, held


@pytest.mark.parametrize("dialect", EMBEDDED)
def test_runs_racing_to_create_a_file_never_lose_the_winners_rows(dialect, tmp_path):
    with concurrent.futures.ThreadPoolExecutor(PAIRS_AT_ONCE) as pool:
        pairs = list(pool.map(lambda i: race_pair(dialect, tmp_path, i), range(RACING_PAIRS)))
    for target, outcomes, held in pairs:
        codes = [code for code, _ in outcomes]
        assert codes.count(0) == 1, outcomes
        winner = "ab"[codes.index(0)]
        assert held == expected(winner, 5), (outcomes, held)
        lost_line = outcomes[1 - codes.index(0)][1]
        assert lost_line in (
            f"quorle: error: {target} was created by another run meanwhile: nothing loaded\n",
            f"quorle: error: table t exists in {dialect}:///{target}: --if-exists replace or"
            " append\n",
        ), outcomes
    assert leftovers(tmp_path, ".*") == []


# ---- quorle's scratch table ----


@pytest.fixture
def catalog(database):
    """A database of each dialect with a user table named like quorle's scratch table."""
    database.run("CREATE TABLE quorle_probe (id INTEGER, note TEXT)")
    database.run("INSERT INTO quorle_probe VALUES (7, 'the user''s')")
    return database


@pytest.mark.parametrize("if_exists", ["append", "replace"])
def test_a_user_table_named_like_the_scratch_table_is_no_obstacle(catalog, tmp_path, if_exists):
    source = write_table(tmp_path / "rows.csv", "x", 3)
    before = catalog.objects()
    for step in ("fail", if_exists):
        outcome = finish([start_load(source, catalog.url, "--if-exists", step)])
        assert outcome[0][0] == 0, outcome
    copies = 2 if if_exists == "append" else 1
    assert sorted(catalog.query('SELECT id, tag FROM "t"')) == sorted(expected("x", 3) * copies)
    assert catalog.query("SELECT id, note FROM quorle_probe") == [(7, "the user's")]
    assert sorted(set(catalog.objects()) - set(before)) == ["t"]


# ---- the DuckDB load's scratch folders ----


def scratch(folder):
    return leftovers(folder, "quorle-load-*")


def has_rows(temp, but=()):
    """Whether a scratch folder other than `but` holds a part with rows in it."""
    parts = temp.glob("quorle-load-*/rows-*.csv")
    return any(p.stat().st_size for p in parts if p.parent.name not in but)


# Holds the lock on the file it is given until its input ends; says so by creating FILE.held.
HOLD_LOCK = """
import fcntl, pathlib, sys
with open(sys.argv[1], "r+b") as f:
    fcntl.flock(f, fcntl.LOCK_EX)
    pathlib.Path(sys.argv[1] + ".held").touch()
    sys.stdin.read()
"""


def test_a_sweep_takes_only_folders_whose_lock_file_it_can_lock(tmp_path):
    folders = {name: tmp_path / f"quorle-load-{name}" for name in ("held", "left", "unmade")}
    for folder in folders.values():
        folder.mkdir(mode=0o700)
    for name in ("held", "left"):
        pathlib.Path(lock_file(str(folders[name]))).touch()
    lock = lock_file(str(folders["held"]))
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, lock], stdin=subprocess.PIPE)
    with ending([holder]):
        wait_for(lambda: os.path.exists(lock + ".held"), [holder], "lock held")
        sweep(str(tmp_path), "quorle-load-")
        # A folder without a lock file is one that a run is making.
        assert scratch(tmp_path) == ["quorle-load-held", "quorle-load-unmade"]
        holder.communicate(timeout=HANG_GUARD)
    assert holder.returncode == 0


def streamed_load(tmp_path, name, env):
    """A DuckDB load fed half its rows through a pipe: it stays in the middle of loading,
    scratch part written, until its input ends."""
    source = write_table(tmp_path / f"{name}.csv", name, 60_000)
    schema = tmp_path / f"{name}.json"
    made = subprocess.run(
        [QUORLE, "schema", str(source), "--dialect", "json", "--table", "t"],
        capture_output=True, timeout=HANG_GUARD, check=True,
    )  # fmt: skip
    schema.write_bytes(made.stdout)
    url = f"duckdb:///{tmp_path / name}.duckdb"
    proc = start_load("-", url, "--schema", str(schema), env=env, stdin=subprocess.PIPE)
    data = source.read_bytes()
    proc.stdin.write(data[: len(data) // 2])
    proc.stdin.flush()
    return proc, data[len(data) // 2 :]


def test_a_killed_runs_scratch_goes_with_the_next_run_and_a_live_runs_stays(tmp_path):
    temp = tmp_path / "tmp"
    temp.mkdir()
    env = {**os.environ, "TMPDIR": str(temp)}
    procs = []
    with ending(procs):
        live, rest = streamed_load(tmp_path, "live", env)
        procs.append(live)
        wait_for(lambda: has_rows(temp), [live], "scratch rows")
        in_use = scratch(temp)
        killed, _ = streamed_load(tmp_path, "killed", env)
        procs.append(killed)
        wait_for(lambda: has_rows(temp, but=in_use), [killed], "scratch rows")
        killed.kill()
        killed.wait(timeout=HANG_GUARD)
        assert len(scratch(temp)) == 2 and leftovers(tmp_path, ".killed.duckdb.*") != []
        not_ours = [temp / "quorle-load-other-user", temp / "quorle-load-link"]
        not_ours[0].mkdir()
        os.chown(not_ours[0], OTHER_UID, OTHER_UID)
        not_ours[1].symlink_to(temp)
        source = write_table(tmp_path / "killed.csv", "again", 4)
        again = finish([start_load(source, f"duckdb:///{tmp_path / 'killed'}.duckdb", env=env)])
        assert again[0][0] == 0, again
        assert read_table("duckdb", tmp_path / "killed.duckdb") == expected("again", 4)
        assert scratch(temp) == sorted(in_use + [p.name for p in not_ours])
        assert leftovers(tmp_path, ".killed.duckdb.*") == []
        _, err = live.communicate(rest, timeout=HANG_GUARD)
        assert live.returncode == 0, err
    assert read_table("duckdb", tmp_path / "live.duckdb") == expected("live", 60_000)
    assert scratch(temp) == sorted(p.name for p in not_ours)


# ---- a full temp dir ----


@contextlib.contextmanager
def small_tmpfs(folder, size):
    folder.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
        capture_output=True, text=True, timeout=HANG_GUARD,
    )  # fmt: skip
    if mounted.returncode != 0:
        pytest.skip(f"a small tmpfs is needed to fill a temp dir: {mounted.stderr.strip()}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], timeout=HANG_GUARD, check=True)


@pytest.mark.parametrize("existing", [False, True], ids=["new-file", "existing-file"])
def test_a_full_temp_dir_is_one_line_naming_the_folder_and_loads_nothing(tmp_path, existing):
    target = tmp_path / "db.duckdb"
    if existing:
        duckdb.connect(str(target)).close()
    source = write_table(tmp_path / "big.csv", "a fairly long tag to fill space", 60_000)
    with small_tmpfs(tmp_path / "small", "1M") as temp:
        env = {**os.environ, "TMPDIR": str(temp)}
        done = finish([start_load(source, f"duckdb:///{target}", env=env)])
        left = scratch(temp)
    code, err = done[0]
    assert code == 1, done
    assert err.startswith(f"quorle: error: no space left in {temp}/quorle-load-"), err
    assert err.endswith("set TMPDIR to a folder with room\n") and err.count("\n") == 1, err
    assert left == []
    assert target.exists() == existing
    if existing:
        con = duckdb.connect(str(target), read_only=True)
        try:
            assert con.execute("SELECT count(*) FROM duckdb_tables()").fetchone()[0] == 0
        finally:
            con.close()
    assert leftovers(tmp_path, ".*") == []
