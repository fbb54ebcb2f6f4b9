"""What a failed, stopped or disturbed run leaves: the types file whole or as it was, no
temporary file behind, and a file that changed while it was read reported."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import signal
import subprocess
import threading

import pytest
from processes import bounded
from test_cli import HANG_GUARD, QUORLE, children, file_position, wait_for

import quorle

OLD = b"what was there before\n"
# An expression without an automaton makes a pass slow enough to catch in the middle.
SLOW_PATTERNS = {"slow": ["(\\w)(\\w*)\\1?[0-9]+(\\.[0-9]+)?"]}
# Above the size from which the command shows a progress bar.
LARGE_MB = 32


def write_large(path, megabytes: int):
    row = b"".join(b"%d,%d.%d,word%d\n" % (i, i, i % 7, i) for i in range(10000))
    with open(path, "wb") as out:
        out.write(b"id,amount,name\n")
        while out.tell() < megabytes * 10**6:
            out.write(row)
    return path


@pytest.fixture(scope="module")
def large_csv(tmp_path_factory):
    return write_large(tmp_path_factory.mktemp("large") / "large.csv", LARGE_MB)


@pytest.fixture
def slow_patterns(tmp_path):
    path = tmp_path / "slow.json"
    path.write_text(json.dumps(SLOW_PATTERNS))
    return str(path)


def temporaries(folder) -> list[str]:
    return sorted(name for name in os.listdir(folder) if name.endswith(".part"))


def written_part(folder) -> bool:
    """Whether a temporary types file in `folder` has received lines."""
    for name in temporaries(folder):
        with contextlib.suppress(FileNotFoundError):
            if os.path.getsize(os.path.join(folder, name)) > 0:
                return True
    return False


@pytest.mark.parametrize("stop", ["SIGINT", "SIGTERM"])
def test_a_stopped_pass_leaves_the_types_file_as_it_was(tmp_path, large_csv, slow_patterns, stop):
    target = tmp_path / "types.txt"
    target.write_bytes(OLD)
    with bounded(subprocess.Popen(
        [QUORLE, "infer", str(large_csv), "--patterns", slow_patterns, "--window", "1",
         "--types-file", str(target)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    ), HANG_GUARD) as cli:  # fmt: skip
        wait_for(lambda: written_part(tmp_path), "types lines written")
        # Held still, the pass is certainly in the middle when the stop comes.
        cli.send_signal(signal.SIGSTOP)
        cli.send_signal(getattr(signal, stop))
        cli.send_signal(signal.SIGCONT)
        _, err = cli.communicate(timeout=HANG_GUARD)
    assert cli.returncode == 128 + getattr(signal, stop), err
    assert "Traceback" not in err
    assert target.read_bytes() == OLD
    assert temporaries(tmp_path) == []


def mount_tmpfs(folder, size: str) -> None:
    done = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {done.stderr.strip()}")


@pytest.fixture
def full_disk(tmp_path):
    """A folder on a 64 KiB file system: a types file of more fills it."""
    folder = tmp_path / "small"
    folder.mkdir()
    mount_tmpfs(folder, "64k")
    yield folder
    subprocess.run(["umount", str(folder)], check=True)


def test_a_full_disk_leaves_the_types_file_as_it_was(tmp_path, full_disk):
    source = tmp_path / "rows.csv"
    source.write_text("n\n" + "12345\n" * 50000)
    target = full_disk / "types.txt"
    target.write_bytes(OLD)
    with pytest.raises(OSError, match="types file"):
        quorle.infer(source, types_file=target)
    assert target.read_bytes() == OLD
    assert temporaries(full_disk) == []


def read_fifo(path, into: list[bytes]) -> threading.Thread:
    def read():
        with open(path, "rb") as f:
            into.append(f.read())

    thread = threading.Thread(target=read)
    thread.start()
    return thread


@pytest.mark.parametrize("kind", ["new", "regular", "symlink", "fifo"])
def test_the_types_file_is_whole_and_keeps_its_kind(tmp_path, kind):
    source = tmp_path / "rows.csv"
    source.write_text("n,w\n1,a\n2,b\n")
    target = tmp_path / "types.txt"
    real = tmp_path / "real.txt"
    received: list[bytes] = []
    reader = None
    if kind == "regular":
        target.write_bytes(OLD)
        target.chmod(0o640)
    elif kind == "symlink":
        real.write_bytes(OLD)
        target.symlink_to(real)
    elif kind == "fifo":
        os.mkfifo(target)
        reader = read_fifo(target, received)
    quorle.infer(source, types_file=target)
    if reader is not None:
        reader.join(timeout=HANG_GUARD)
    written = {
        "new": lambda: target.read_bytes(),
        "regular": lambda: target.read_bytes(),
        "symlink": lambda: real.read_bytes(),
        "fifo": lambda: received[0],
    }[kind]()
    assert written.splitlines()[1:] == [b"integer,other", b"integer,other"]
    assert os.path.islink(target) == (kind == "symlink")
    if kind == "regular":
        assert target.stat().st_mode & 0o777 == 0o640
    assert temporaries(tmp_path) == []


def test_the_input_is_never_its_own_types_file(tmp_path):
    source = tmp_path / "rows.csv"
    source.write_text("n\n1\n")
    with pytest.raises(OSError, match="it is the input file"):
        quorle.infer(source, types_file=source)
    assert source.read_text() == "n\n1\n"
    assert temporaries(tmp_path) == []


@pytest.mark.skipif(shutil.which("sqlite3") is None, reason="Debian's sqlite3 shell is needed")
def test_a_failed_file_is_a_comment_that_runs_nothing(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "good.csv").write_text("n\n1\n")
    # A name that would be a shell command and a statement on lines of their own.
    hostile = "x\n.shell touch pwned\nDROP TABLE sentinel;\n.csv"
    (folder / hostile).symlink_to(tmp_path / "gone")
    done = subprocess.run(
        [QUORLE, "schema", str(folder), "--dialect", "sqlite", "--keep-going"],
        capture_output=True, text=True, timeout=HANG_GUARD, check=False,
    )  # fmt: skip
    assert done.returncode == 1, done.stderr
    assert done.stdout.count("-- Failed, so no table:") == 1
    database = tmp_path / "db.sqlite"
    subprocess.run(["sqlite3", database, "CREATE TABLE sentinel (x)"], check=True)
    shell = subprocess.run(
        ["sqlite3", "-bail", database], input=done.stdout, cwd=tmp_path,
        capture_output=True, text=True, timeout=HANG_GUARD, check=False,
    )  # fmt: skip
    assert shell.returncode == 0, shell.stderr
    tables = subprocess.run(
        ["sqlite3", database, ".tables"], capture_output=True, text=True, check=True
    ).stdout.split()
    assert sorted(tables) == ["good", "sentinel"]
    assert not (tmp_path / "pwned").exists()


def descendants(pid: int) -> list[int]:
    found, frontier = [], [pid]
    while frontier:
        frontier = [child for parent in frontier for child in children(parent)]
        found += frontier
    return found


def reader_of(cli: subprocess.Popen, path: str) -> int:
    """The process below the command that is reading `path`, once it has read some of it."""

    def reading():
        for pid in [cli.pid, *descendants(cli.pid)]:
            if (file_position(pid, path) or 0) > 0:
                return pid
        return None

    return wait_for(reading, f"a process reads {path}")


@pytest.mark.parametrize("many", [False, True], ids=["one", "many"])
@pytest.mark.parametrize("change", ["shrink", "grow"])
def test_a_file_that_changes_while_it_is_read(tmp_path, slow_patterns, change, many):
    path = str(write_large(tmp_path / "changing.csv", LARGE_MB // 2))
    size = os.path.getsize(path)
    # A glob takes the many-files path even when it matches one file.
    named = str(tmp_path / "changing*.csv") if many else path
    with bounded(subprocess.Popen(
        [QUORLE, "infer", named, "--patterns", slow_patterns, "--window", "1"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    ), HANG_GUARD) as cli:  # fmt: skip
        pid = reader_of(cli, path)
        # Held still, the pass is certainly in the middle when the file changes.
        os.kill(pid, signal.SIGSTOP)
        assert file_position(pid, path) is not None
        if change == "shrink":
            os.truncate(path, size // 2)
        else:
            with open(path, "ab") as f:
                f.write(b"1,2.5,word\n" * 1000)
        os.kill(pid, signal.SIGCONT)
        out, err = cli.communicate(timeout=HANG_GUARD)
    now = os.path.getsize(path)
    assert "Traceback" not in err
    if change == "shrink":
        assert cli.returncode == 1 and out == ""
        assert f"changing.csv: {'unreadable: ' if many else ''}the file shrank" in err
        assert f"from {size} to {now} bytes" in err
    else:
        assert cli.returncode == 0, err
        assert f"warning: the file grew from {size} to {now} bytes while it was read" in err
