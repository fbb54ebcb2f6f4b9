"""The installed `quorle` command, run in a subprocess as a user runs it."""

from __future__ import annotations

import contextlib
import csv
import io
import itertools
import json
import os
import pathlib
import pty
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterable

import pytest
import zstandard
from processes import bounded

import quorle
from quorle.loading import progress

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "data"
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite


def run(*args: str, **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [str(QUORLE), *args], capture_output=True, text=True, timeout=HANG_GUARD, **kwargs
    )


def table_rows(stdout: str) -> dict[str, list[str]]:
    """Column name -> the rest of its row, split on runs of two spaces."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("column  "))
    rows = {}
    for line in lines[start + 1 :]:
        cells = [cell.strip() for cell in line.split("  ") if cell.strip()]
        rows[cells[0]] = cells[1:]
    return rows


SAMPLE_SUGGESTED = {
    "order_id": "integer",
    "customer": "text",
    "zip": "code",
    "amount": "decimal",
    "quantity": "text",
    "paid": "boolean",
    "order_date": "date",
    "shipped_at": "text",
    "pickup_time": "time",
    "status": "text",
    "coupon": "text",
    "fax": "empty",
}


def test_console_script_is_installed():
    assert shutil.which("quorle", path=str(QUORLE.parent)) == str(QUORLE)


def test_table_on_the_sample():
    result = run("infer", str(EXAMPLES / "sample.csv"))
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    first = result.stdout.splitlines()[0]
    assert "40 data rows, 12 columns, delimiter ',' (detected)" in first
    rows = table_rows(result.stdout)
    assert {name: cells[0] for name, cells in rows.items()} == SAMPLE_SUGGESTED
    assert "mixed" in rows["quantity"][-1]
    assert "mostly missing" in rows["coupon"][-1]


def test_delimiter_is_detected_in_a_regular_file():
    result = run("infer", str(EXAMPLES / "sensors.csv"), "--format", "json")
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert data["delimiter"] == ";"
    assert len(data["columns"]) == 7


@pytest.mark.parametrize("extras", [False, True])
def test_json_is_what_the_api_returns(tmp_path, extras):
    path = tmp_path / "t.csv"
    path.write_bytes(b"a;b\n1;7\n?;2.5\n3;?\n4\n")
    patterns = tmp_path / "p.json"
    table = {"n": {"patterns": ["[0-9]+"], "widens_to": ["x"]}, "x": ["[0-9]*\\.[0-9]+"]}
    patterns.write_text(json.dumps(table))
    args = ["--patterns", str(patterns), "--window", "1", "--na", "?", "--"]
    result = run("infer", "--format", "json", *(["--extras"] * extras), *args, str(path))
    assert result.returncode == 0, result.stderr
    expected = quorle.infer(
        path, patterns=patterns, na_values=["?"], window=1, extras=extras
    ).to_dict()
    assert json.loads(result.stdout) == expected
    assert expected["columns"][1]["suggested"] == "x"
    assert "1 row shorter than the header" in result.stderr


def test_csv_has_one_header_and_a_row_per_column(tmp_path):
    first = tmp_path / "one.csv"
    first.write_text("a,b\n1,x\n")
    second = tmp_path / "two.csv"
    second.write_text("c\n2024-01-01\n")
    result = run("infer", str(first), str(second), "--format", "csv")
    assert result.returncode == 0, result.stderr
    rows = list(csv.DictReader(io.StringIO(result.stdout)))
    assert [(r["path"], r["column"], r["suggested"]) for r in rows] == [
        (str(first), "a", "integer"),
        (str(first), "b", "text"),
        (str(second), "c", "date"),
    ]
    assert rows[2]["date"] == "1" and rows[1]["other"] == "1"


def test_types_file_and_delimiter_options(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("a\tb\n1\tx\n")
    types_file = tmp_path / "types.csv"
    result = run("infer", str(path), "--delimiter", "tab", "--types-file", str(types_file))
    assert result.returncode == 0, result.stderr
    assert "delimiter '\\t'," in result.stdout
    assert types_file.read_text().splitlines() == ["a,b", "integer,other"]


def test_overlapping_types_are_named_on_stderr(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("v\n1\n")
    patterns = tmp_path / "p.json"
    patterns.write_text(json.dumps({"a": ["[0-9]+"], "b": ["[0-9]"]}))
    result = run("infer", str(path), "--patterns", str(patterns))
    assert result.returncode == 0, result.stderr
    assert f"quorle: {path}: warning: types 'a' and 'b' can match the same text" in result.stderr


ERROR_CASES = [
    # arguments (FILE stands for a good file, DIR for the temp folder), status, stderr words
    (["infer", "DIR/missing.csv"], 1, ["missing.csv", "No such file"]),
    (["infer", "FILE", "DIR/missing.csv"], 1, ["missing.csv"]),
    # A folder stands for the files in it; a glob that matches nothing is reported as given.
    (["infer", "DIR/*.none"], 1, ["*.none", "No such file"]),
    (["infer", "FILE", "--patterns", "DIR/none.json"], 2, ["none.json"]),
    (["infer", "FILE", "--patterns", "BADPATTERNS"], 2, ["'bad'", "'(ab'"]),
    (["infer", "FILE", "FILE", "--types-file", "DIR/t.txt"], 2, ["--types-file"]),
    (["infer", "FILE", "--types-file", "DIR/no/such/t.txt"], 1, ["Cannot open types file"]),
    (["infer", "FILE", "--delimiter", '"'], 2, ["quote"]),
    (["infer", "FILE", "--delimiter", ";;"], 2, ["one byte"]),
    (["infer", "FILE", "--window", "-1"], 2, ["--window"]),
    (["schema", "FILE", "--dialect", "sqlite", "--keep-going", "--strict"], 2, ["--keep-going"]),
    (["infer"], 2, ["FILE"]),
    ([], 2, ["COMMAND"]),
]


@pytest.mark.parametrize(("args", "status", "words"), ERROR_CASES)
def test_errors_and_exit_status(tmp_path, args, status, words):
    good = tmp_path / "good.csv"
    good.write_text("a\n1\n")
    bad = tmp_path / "bad.json"
    bad.write_text('{"ok": ["[0-9]+"], "bad": ["(ab"]}')
    names = {"FILE": str(good), "DIR": str(tmp_path), "BADPATTERNS": str(bad)}
    args = [names.get(a, a.replace("DIR", str(tmp_path))) for a in args]
    result = run(*args)
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    for word in words:
        assert word in result.stderr
    # A good file named next to a failing one is still reported.
    if status == 1 and str(good) in args and any("missing" in a for a in args):
        assert "1 data row" in result.stdout


def test_unreadable_file_is_named(tmp_path):
    path = tmp_path / "secret.csv"
    path.write_text("a\n1\n")
    path.chmod(0)
    prefix = []
    if os.geteuid() == 0:
        # Root reads any file unless it gives up the capabilities that allow it.
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("running as root without setpriv")
        prefix = [setpriv, "--bounding-set=-dac_override,-dac_read_search"]
    result = subprocess.run(
        [*prefix, str(QUORLE), "infer", str(path)],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD,
    )
    assert result.returncode == 1, result.stderr
    assert f"{path}: Permission denied" in result.stderr


def test_closed_stdout_ends_quietly(tmp_path):
    path = tmp_path / "wide.csv"
    path.write_text(",".join(f"column_{i}" for i in range(20000)) + "\n")
    with bounded(
        subprocess.Popen(
            [str(QUORLE), "infer", str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        ),
        HANG_GUARD,
    ) as proc:
        assert proc.stdout.readline()
        proc.stdout.close()
        stderr = proc.stderr.read()
        assert proc.wait(timeout=HANG_GUARD) == 141
    assert stderr == b""


# ---- pipes and Ctrl-C ----


def children(pid: int) -> list[int]:
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                stat = (entry / "stat").read_text()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
                found.append(int(entry.name))
    return found


def file_position(pid: int, target: str) -> int | None:
    """The furthest offset of the process's open descriptors on `target` (a real path), if
    it has any open."""
    fds = f"/proc/{pid}/fd"
    positions = []
    try:
        for fd in os.listdir(fds):
            if os.readlink(f"{fds}/{fd}") == target:
                with open(f"/proc/{pid}/fdinfo/{fd}", encoding="ascii") as f:
                    positions += [int(line.split()[1]) for line in f if line.startswith("pos:")]
    except OSError:
        pass  # the process or its file went away meanwhile
    return max(positions, default=None)


def wait_for(condition, what: str):
    deadline = time.monotonic() + HANG_GUARD
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    pytest.fail(f"never happened: {what}")


@contextlib.contextmanager
def slow_writer(fifo: pathlib.Path, lines: Iterable[bytes]):
    """Feeds a FIFO from a thread, a line at a time with pauses, until the reader
    goes away, the lines run out or the block ends."""
    os.mkfifo(fifo)
    stop = threading.Event()

    def feed():
        try:
            with open(fifo, "wb", buffering=0) as out:
                for line in lines:
                    if stop.is_set():
                        return
                    out.write(line)
                    time.sleep(0.002)
        except BrokenPipeError:
            pass

    thread = threading.Thread(target=feed)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        # A writer still waiting for a reader is let through, and then stops.
        os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
        thread.join()


# Relays its stdin to its stdout a line at a time, with pauses.
SLOW_RELAY = """
import sys, time
for line in sys.stdin.buffer:
    sys.stdout.buffer.write(line)
    sys.stdout.buffer.flush()
    time.sleep(0.002)
"""


def infer_through_a_pipe(tmp_path, via: str, lines: list[bytes], *args: str):
    if via == "fifo":
        fifo = tmp_path / "fifo"
        with slow_writer(fifo, lines):
            return run("infer", str(fifo), *args)
    with bounded(
        subprocess.Popen(
            [sys.executable, "-c", SLOW_RELAY], stdin=subprocess.PIPE, stdout=subprocess.PIPE
        ),
        HANG_GUARD,
    ) as relay:
        relay.stdin.write(b"".join(lines))
        relay.stdin.close()
        if via == "stdin":
            return run("infer", "/dev/stdin", *args, stdin=relay.stdout)
        # As a shell's <(...) names it.
        fd = relay.stdout.fileno()
        return run("infer", f"/dev/fd/{fd}", *args, pass_fds=(fd,))


@pytest.mark.parametrize("via", ["fifo", "stdin", "fd"])
@pytest.mark.parametrize(
    ("header", "args", "delimiter", "names"),
    [
        (b"a;b", [], ";", ["a", "b"]),
        (b"a;b", ["--delimiter", ";"], ";", ["a", "b"]),
        (b"a,b", [], ",", ["a", "b"]),
        (b"a;b", ["--delimiter", ","], ",", ["a;b"]),
    ],
)
def test_pipe_from_a_slow_writer_is_read_once_and_sniffed(
    tmp_path, via, header, args, delimiter, names
):
    sep = delimiter.encode() if len(names) > 1 else b";"
    lines = [header + b"\n"] + [b"%d%s%d.5\n" % (i, sep, i) for i in range(300)]
    result = infer_through_a_pipe(tmp_path, via, lines, "--format", "json", *args)
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert data["delimiter"] == delimiter
    assert [c["name"] for c in data["columns"]] == names
    assert data["rows"] == 300
    if len(names) == 2:
        assert [c["suggested"] for c in data["columns"]] == ["integer", "decimal"]
        assert result.stderr == ""
    else:
        assert "its name contains ';'" in result.stderr


@pytest.fixture
def interruptible():
    """Ctrl-C can reach a command started here even when the suite itself runs
    with SIGINT ignored (a background job of a script), which a child inherits."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_ctrl_c_stops_a_pass_that_would_never_end(tmp_path, interruptible):
    fifo = tmp_path / "endless"
    lines = itertools.chain([b"a,b\n"], itertools.repeat(b"1,2\n"))
    with (
        slow_writer(fifo, lines),
        bounded(
            subprocess.Popen([str(QUORLE), "infer", str(fifo)], stderr=subprocess.PIPE, text=True),
            HANG_GUARD,
        ) as cli,
    ):
        wait_for(lambda: file_position(cli.pid, str(fifo)) is not None, "the command reads")
        cli.send_signal(signal.SIGINT)
        assert cli.wait(timeout=HANG_GUARD) == 130
        stderr = cli.stderr.read()
        assert "interrupted" in stderr
        assert "Traceback" not in stderr


LARGE_MB = 200


@pytest.fixture(scope="module")
def large_file(tmp_path_factory):
    folder = tmp_path_factory.mktemp("large")
    if shutil.disk_usage(folder).free < 4 * LARGE_MB * 10**6:
        pytest.skip("not enough free disk space for the large file")
    path = folder / "large.csv"
    row = b"".join(
        b"%d,%d.%d,word%d,2024-01-%02d\n" % (i, i, i % 7, i, 1 + i % 28) for i in range(10000)
    )
    with open(path, "wb") as out:
        out.write(b"id,amount,name,day\n")
        while out.tell() < LARGE_MB * 10**6:
            out.write(row)
    yield path
    path.unlink()


def test_ctrl_c_stops_the_pass_over_a_large_file(large_file, tmp_path, interruptible):
    # An expression without an automaton makes the pass slow enough to interrupt.
    patterns = tmp_path / "slow.json"
    patterns.write_text(json.dumps({"slow": ["(\\w)(\\w*)\\1?[0-9]+(\\.[0-9]+)?"]}))
    with bounded(
        subprocess.Popen(
            [str(QUORLE), "infer", str(large_file), "--patterns", str(patterns), "--window", "1"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        ),
        HANG_GUARD,
    ) as cli:
        wait_for(lambda: (file_position(cli.pid, str(large_file)) or 0) > 0, "progress")
        cli.send_signal(signal.SIGINT)
        assert cli.wait(timeout=HANG_GUARD) == 130
        assert cli.stdout.read() == ""
        assert "interrupted" in cli.stderr.read()


def test_a_small_compressed_file_of_much_text_stops_at_once(tmp_path):
    # Some KiB of zstd that hold 512 MiB of rows: the pass takes long.
    path = tmp_path / "bomb.csv.zst"
    stream = zstandard.ZstdCompressor(level=1).compressobj()
    rows = b"1,2\n" * (1 << 20)
    chunks = [stream.compress(b"a,b\n"), *(stream.compress(rows) for _ in range(128))]
    path.write_bytes(b"".join([*chunks, stream.flush()]))
    with bounded(
        subprocess.Popen(
            [str(QUORLE), "infer", str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        ),
        HANG_GUARD,
    ) as cli:
        wait_for(lambda: (file_position(cli.pid, str(path)) or 0) > 0, "the command reads")
        cli.send_signal(signal.SIGTERM)
        assert cli.wait(timeout=HANG_GUARD) == 143
        assert cli.stdout.read() == b""
        assert b"terminated" in cli.stderr.read()


@pytest.mark.parametrize("name", ["/dev/stdin", "/dev/fd/{fd}"])
def test_input_named_by_a_descriptor_is_read(large_file, name):
    with open(large_file, "rb") as source:
        fd = source.fileno()
        result = subprocess.run(
            [str(QUORLE), "infer", name.format(fd=fd), "--format", "json"],
            stdin=source,
            pass_fds=(fd,),
            capture_output=True,
            timeout=HANG_GUARD,
        )
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert [c["name"] for c in data["columns"]] == ["id", "amount", "name", "day"]
    with open(large_file, "rb") as f:
        assert (
            data["rows"]
            == sum(block.count(b"\n") for block in iter(lambda: f.read(1 << 20), b"")) - 1
        )


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_bar_only_on_a_terminal(large_file, terminal):
    controller, stderr = pty.openpty() if terminal else os.pipe()
    with bounded(
        subprocess.Popen(
            [str(QUORLE), "infer", str(large_file), "--format", "json"],
            stdout=subprocess.PIPE,
            stderr=stderr,
        ),
        HANG_GUARD,
    ) as cli:
        os.close(stderr)
        shown = b""
        with contextlib.suppress(OSError):  # a terminal without a writer reads as EIO
            while chunk := os.read(controller, 1 << 16):
                shown += chunk
        os.close(controller)
        assert json.loads(cli.stdout.read())["rows"] > 0
        assert cli.wait(timeout=HANG_GUARD) == 0
    if terminal:
        bar = shown.split(b"\r")
        assert b"[" + b"." * progress.BAR_WIDTH + b"]   0%" in bar[1]
        assert bar[-1] == b"" and bar[-2].strip() == b""  # the bar is wiped at the end
    else:
        assert shown == b""


# ---- paths that are not UTF-8 ----

LATIN1 = b"caf\xe9.csv"
SHOWN = b"caf\\xe9.csv"


@pytest.fixture
def latin1_csv(tmp_path) -> bytes:
    path = os.path.join(os.fsencode(tmp_path), LATIN1)
    with open(path, "wb") as f:
        f.write(b"a,b\n1,x\n2,y\n")
    return path


def run_bytes(*args: bytes | str) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [str(QUORLE), *args], capture_output=True, timeout=HANG_GUARD, check=False
    )


@pytest.mark.parametrize("many", [False, True], ids=["one", "many"])
def test_a_path_that_is_not_utf8_is_read_shown_escaped_and_given_back(latin1_csv, many):
    # Its folder, which holds only it, takes the many-files path.
    named = os.path.dirname(latin1_csv) if many else latin1_csv
    table = run_bytes("infer", named)
    assert table.returncode == 0, table.stderr
    assert (
        os.fsencode(os.path.dirname(latin1_csv)) + b"/" + SHOWN + b": 2 data rows" in table.stdout
    )
    lines = run_bytes("infer", named, "--format", "json").stdout.splitlines()
    assert [os.fsencode(json.loads(line)["path"]) for line in lines] == [latin1_csv]
    assert [quorle.infer(latin1_csv).path, *quorle.infer_many([latin1_csv]).files] == [
        os.fsdecode(latin1_csv),
        quorle.infer(latin1_csv),
    ]


@pytest.mark.parametrize("dialect", ["postgres", "duckdb", "json"])
def test_a_path_that_is_not_utf8_is_never_named_in_a_statement(latin1_csv, dialect):
    done = run_bytes("schema", latin1_csv, "--dialect", dialect, "--load")
    assert done.returncode == 0, done.stderr
    if dialect == "json":
        [table] = json.loads(done.stdout)["tables"]
        assert os.fsencode(table["path"]) == latin1_csv
        return
    assert done.stdout.startswith(b'CREATE TABLE "caf_"')
    assert b"-- Not loadable with COPY: the path " in done.stdout and SHOWN in done.stdout
    assert b"COPY " not in done.stdout.replace(b"with COPY", b"")


def test_a_types_file_whose_name_is_not_utf8(latin1_csv, tmp_path):
    target = os.path.join(os.fsencode(tmp_path), b"typ\xe9s.txt")
    done = run_bytes("infer", latin1_csv, "--types-file", target)
    assert done.returncode == 0, done.stderr
    with open(target, "rb") as f:
        assert f.read().splitlines()[1:] == [b"integer,other"] * 2


@pytest.mark.parametrize(
    "command",
    [[str(QUORLE)], [sys.executable, "-m", "quorle"]],
    ids=["console script", "python -m"],
)
def test_version_and_module_entry_point(command):
    import importlib.metadata

    version = subprocess.run(
        [*command, "--version"], capture_output=True, text=True, timeout=HANG_GUARD
    )
    assert version.returncode == 0, version.stderr
    assert version.stdout.split() == ["quorle", importlib.metadata.version("quorle")]
    report = subprocess.run(
        [*command, "infer", str(EXAMPLES / "sample.csv"), "--format", "json"],
        capture_output=True,
        text=True,
        timeout=HANG_GUARD,
    )
    assert report.returncode == 0, report.stderr
    assert json.loads(report.stdout)["rows"] == 40
