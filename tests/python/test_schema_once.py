"""`quorle schema` reads each file once: the load statements of a named pipe, which can be read
only once, are those of a regular file with the same bytes."""

import contextlib
import dataclasses
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import quorle

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
HANG_GUARD = 60  # seconds: only so that a hang fails instead of blocking the suite
NOT_AGAIN = "cannot be read again"
# The facts the pass gathers for the load statements, which a result saved before lacks.
PASS_FACTS = ("na_spellings", "blank_rows")

# name: (file, arguments after the file, what the load statement must say)
CASES = {
    "several_missing_spellings": (
        b"a,b\n1,NA\n2,-\n3,x\n", ["--dialect", "postgres"], "several strings ('-', 'NA')",
    ),
    "one_missing_spelling_of_several": (
        b"a,b\n1,NA\n2,NA\n3,x\n", ["--dialect", "postgres", "--psql"], "NULL 'NA'",
    ),
    "spellings_in_two_columns": (
        b"a,b\nnull,NA\n2,x\n", ["--dialect", "postgres"], "several strings ('NA', 'null')",
    ),
    "one_column_blank_lines_kept": (
        b"a\nx\n\ny\n\n", ["--dialect", "duckdb", "--na", "NA"], "2 blank lines are rows",
    ),
    "short_rows_and_blank_lines_kept": (
        b"a,b\n1,NA\n\n3\n", ["--dialect", "duckdb", "--keep-blank-lines"], "1 blank line is a row",
    ),
    "short_rows_no_blank_line": (
        b"a,b\n1,NA\n3\n", ["--dialect", "duckdb"], "NULL_PADDING true",
    ),
    # The engine names an empty header cell; the table names it by its position instead.
    "empty_header_cell": (b"a,,c\n1,2,3\n", ["--dialect", "sqlite"], '"column_2" INTEGER'),
    "header_cell_spelled_as_the_engine_names": (
        b"a,Unitled_1\n1,2\n", ["--dialect", "sqlite"], '"Unitled_1" INTEGER',
    ),
}  # fmt: skip


def schema(paths: list[pathlib.Path], args: list[str]) -> str:
    """The command's output and warnings, with the files' folder made a placeholder."""
    run = subprocess.run(
        [QUORLE, "schema", *map(str, paths), "--load", *args],
        capture_output=True, timeout=HANG_GUARD, check=False,
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    text = (run.stdout + run.stderr).decode()
    for folder in {path.parent for path in paths}:
        text = text.replace(str(folder.resolve()), "DIR").replace(str(folder), "DIR")
    return text


@contextlib.contextmanager
def pipe(fifo: pathlib.Path, data: bytes):
    """A named pipe fed `data` once, by a thread, while the block runs."""
    os.mkfifo(fifo)

    def feed():
        try:
            with open(fifo, "wb") as out:
                out.write(data)
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        yield fifo
    finally:
        # A writer still waiting for a reader (the command never opened the pipe) is let go.
        if writer.is_alive():
            os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
        writer.join(HANG_GUARD)


def written(path: pathlib.Path, data: bytes) -> pathlib.Path:
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("data, args, says", CASES.values(), ids=CASES.keys())
def test_a_pipe_gets_the_statements_of_a_file(tmp_path, data, args, says):
    want = schema([written(tmp_path / "files" / "data.csv", data)], args)
    assert says in want
    (tmp_path / "pipes").mkdir()
    with pipe(tmp_path / "pipes" / "data.csv", data) as fifo:
        got = schema([fifo], args)
    assert NOT_AGAIN not in got
    assert got == want


def test_each_file_of_a_table_keeps_its_own_null_string(tmp_path):
    # One table of two files, each holding one missing-value string of its own: each file's
    # COPY takes its own, read from a pipe too.
    first, second = b"a,b\n1,NA\n2,x\n", b"a,b\n1,-\n2,x\n"
    args = ["--dialect", "postgres"]
    want = schema([written(tmp_path / "files" / name, data) for name, data in
                   (("one.csv", first), ("two.csv", second))], args)  # fmt: skip
    assert "NULL 'NA'" in want and "NULL '-'" in want
    one = written(tmp_path / "pipes" / "one.csv", first)
    with pipe(tmp_path / "pipes" / "two.csv", second) as fifo:
        assert schema([one, fifo], args) == want


def without_pass_facts(result):
    """`result` as saved before the pass gathered what the load statements need."""
    quirks = {k: v for k, v in result.quirks.items() if k not in PASS_FACTS}
    return dataclasses.replace(result, quirks=quirks)


@pytest.mark.parametrize("data, args, says", CASES.values(), ids=CASES.keys())
def test_a_result_without_the_facts_reads_its_file_again(tmp_path, data, args, says):
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    na = ["NA"] if "--na" in args else None
    keep = True if "--keep-blank-lines" in args else None
    result = quorle.infer(str(path), na_values=na, keep_blank_lines=keep)
    assert set(PASS_FACTS) <= set(result.quirks)
    dialect = args[1]
    want = quorle.schema(result, dialect, na_values=na, load=True)
    assert says in want
    assert quorle.schema(without_pass_facts(result), dialect, na_values=na, load=True) == want
