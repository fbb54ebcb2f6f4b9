"""Hostile and very large inputs: the pass must finish, count exactly and fail
only with a Python exception."""

import os
import subprocess
import sys

import pytest

import quorle_ext

PATTERNS = {
    "int": [r"-?[0-9]+"],
    "float": [r"-?[0-9]*\.[0-9]+"],
    "word": [r"[A-Za-z]+"],
}
MODES = [pytest.param(False, id="sequential"), pytest.param(True, id="parallel")]
MB = 1 << 20


def write_blocks(path, head=b"", block=b"", count=0, tail=b""):
    """Writes head, block repeated count times, tail; one block in memory."""
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(count):
            f.write(block)
        f.write(tail)
    return str(path)


def write_rows(path, rows, delimiter=b",", terminator=b"\n"):
    return write_blocks(path, terminator.join(delimiter.join(r) for r in rows) + terminator)


def make_inf(path, multithreading=False, patterns=None, na=(), delimiter=",", types_path=None):
    return quorle_ext.Inf(
        str(path),
        delimiter,
        PATTERNS if patterns is None else patterns,
        set(na),
        multithreading,
        types_path is not None,
        str(types_path) if types_path is not None else "",
        1000,
    )


def run_pass(path, **kwargs):
    inf = make_inf(path, **kwargs)
    inf.infer_types()
    return inf


def nonzero(counts):
    return {col: {t: k for t, k in per.items() if k} for col, per in counts.items()}


@pytest.mark.parametrize("multithreading", MODES)
def test_field_of_100_mb_is_one_field_counted_once(tmp_path, multithreading):
    path = write_blocks(tmp_path / "big.csv", b"h\n", b"#" * MB, 100)
    inf = run_pass(path, multithreading=multithreading)
    assert inf.num_rows == 1
    assert inf.col_names == ["h"]
    assert nonzero(inf.get_col_type_candidates()) == {"h": {"other": 1}}


def test_file_that_is_one_field_is_a_header_without_data(tmp_path):
    path = write_blocks(tmp_path / "one.csv", b"", b"y" * MB, 8)
    inf = run_pass(path)
    assert inf.num_rows == 0
    names = inf.col_names
    assert len(names) == 1 and names[0] == "y" * (8 * MB)


def test_unclosed_quote_at_start_swallows_the_whole_file(tmp_path):
    body = b"a,b\n1,2\r\n"
    path = write_blocks(tmp_path / "q.csv", b'"', body, 400_000)
    inf = run_pass(path)
    assert inf.num_rows == 0
    assert inf.col_names == [(body * 400_000).decode()]


@pytest.mark.parametrize("multithreading", MODES)
def test_unclosed_quote_in_data_is_one_last_field(tmp_path, multithreading):
    path = write_blocks(tmp_path / "q.csv", b'a,b\n1,2\n"', b"3,4\n", 300_000)
    inf = run_pass(path, multithreading=multithreading)
    assert inf.num_rows == 2
    assert nonzero(inf.get_col_type_candidates()) == {"a": {"int": 1, "other": 1}, "b": {"int": 1}}


@pytest.mark.parametrize("multithreading", MODES)
@pytest.mark.parametrize(
    "data, delimiter, na, names, counts",
    [
        (
            b"n\x00a,b\n1\x002,\x00\n\x00,7\n",
            ",",
            {"\x00"},
            ["n\x00a", "b"],
            {"n\x00a": {"other": 1, "NA": 1}, "b": {"NA": 1, "int": 1}},
        ),
        (
            b"a\x00b\n1\x00x\n\x00\n",
            "\x00",
            set(),
            ["a", "b"],
            {"a": {"int": 1, "other": 1}, "b": {"word": 1, "other": 1}},
        ),
    ],
    ids=["nul-in-fields", "nul-delimiter"],
)
def test_nul_bytes_are_data(tmp_path, multithreading, data, delimiter, na, names, counts):
    path = write_blocks(tmp_path / "nul.csv", data)
    inf = run_pass(path, multithreading=multithreading, delimiter=delimiter, na=na)
    assert inf.num_rows == 2
    assert inf.col_names == names
    assert nonzero(inf.get_col_type_candidates()) == counts


@pytest.mark.parametrize("multithreading", MODES)
def test_invalid_utf8_in_fields_is_classified_and_counted(tmp_path, multithreading):
    rows = [[b"a", b"b"], [b"\xff\xfe", b"1"], [b"\xc3\x28", b"\xed\xa0\x80"], [b"\x80", b"2"]]
    path = write_rows(tmp_path / "u.csv", rows)
    patterns = {"int": [r"[0-9]+"], "junk": [b"\xff\xfe"]}
    inf = run_pass(path, multithreading=multithreading, patterns=patterns)
    assert inf.num_rows == 3
    assert nonzero(inf.get_col_type_candidates()) == {
        "a": {"junk": 1, "other": 2},
        "b": {"int": 2, "other": 1},
    }
    with pytest.raises(UnicodeDecodeError):
        inf.get_col_type_patterns()


def test_invalid_utf8_in_header_fails_only_when_names_are_read(tmp_path):
    path = write_rows(tmp_path / "h.csv", [[b"ok", b"\xff"], [b"1", b"2"]])
    inf = run_pass(path)
    assert inf.num_rows == 1
    with pytest.raises(UnicodeDecodeError):
        _ = inf.col_names
    with pytest.raises(UnicodeDecodeError):
        inf.get_col_type_candidates()


@pytest.mark.parametrize("multithreading", MODES)
def test_folder_as_input_is_an_input_stream_error(tmp_path, multithreading):
    inf = make_inf(tmp_path, multithreading=multithreading)
    with pytest.raises(RuntimeError, match="Something is wrong with input stream"):
        inf.infer_types()
    assert inf.num_rows == 0


def test_file_truncated_and_grown_between_passes(tmp_path):
    path = tmp_path / "t.csv"
    write_rows(path, [[b"a", b"b"]] + [[b"1", b"x"]] * 10)
    inf = run_pass(path)
    assert inf.num_rows == 10
    assert nonzero(inf.get_col_type_candidates()) == {"a": {"int": 10}, "b": {"word": 10}}

    with open(path, "r+b") as f:
        f.truncate(len(b"a,b\n1,x\n1"))
    inf.infer_types()
    assert inf.num_rows == 2
    assert nonzero(inf.get_col_type_candidates()) == {"a": {"int": 2}, "b": {"word": 1}}

    with open(path, "r+b") as f:
        f.truncate(len(b"a,"))
    inf.infer_types()
    assert inf.num_rows == 0
    assert inf.col_names == ["a"]

    with open(path, "r+b") as f:
        f.truncate(0)
    inf.infer_types()
    assert (inf.num_rows, inf.col_names) == (0, [])

    write_rows(path, [[b"a", b"b", b"c"]] + [[b"2.5", b"y", b"3"]] * 1000)
    inf.infer_types()
    assert inf.num_rows == 1000
    assert nonzero(inf.get_col_type_candidates()) == {
        "a": {"float": 1000},
        "b": {"word": 1000},
        "c": {"int": 1000},
    }


@pytest.mark.parametrize("multithreading", MODES)
@pytest.mark.parametrize(
    "pattern, text",
    [("(a*)*b", "a" * 40), ("(x+x+)+y", "x" * 40), ("(a|a?)+c", "a" * 40)],
)
def test_catastrophic_backtracking_raises_and_session_recovers(
    tmp_path, multithreading, pattern, text
):
    rows = [[b"c", b"d"], [b"1", b"2"], [text.encode(), b"3"], [b"4", b"5"]]
    path = write_rows(tmp_path / "cat.csv", rows)
    inf = make_inf(path, multithreading=multithreading, patterns={"evil": [pattern]})
    with pytest.raises(RuntimeError, match="complexity|stack space"):
        inf.infer_types()

    # Texts that failed were never cached, but earlier ones of the failed pass
    # were: a window of 1 empties the cache right after the header row.
    inf.set_col_type_patterns({"int": [r"[0-9]+"]})
    inf.set_rolling_cache_window(1)
    inf.infer_types()
    assert inf.num_rows == 3
    assert nonzero(inf.get_col_type_candidates()) == {"c": {"int": 2, "other": 1}, "d": {"int": 3}}


def test_backtracking_in_many_columns_of_one_parallel_row(tmp_path):
    width = 64
    rows = [[b"c%d" % i for i in range(width)], [b"a" * 40] * width]
    path = write_rows(tmp_path / "many.csv", rows)
    inf = make_inf(path, multithreading=True, patterns={"evil": ["(a*)*b"]})
    with pytest.raises(RuntimeError, match="complexity|stack space"):
        inf.infer_types()
    inf.set_col_type_patterns({"as": ["a+"]})
    inf.set_rolling_cache_window(1)
    inf.infer_types()
    counts = inf.get_col_type_candidates()
    assert all(counts[f"c{i}"]["as"] == 1 for i in range(width))


@pytest.mark.parametrize(
    "width, data_rows, multithreading",
    [(100_000, 2, False), (20_000, 1, True)],
    ids=["sequential-100k", "parallel-20k"],
)
def test_very_wide_header(tmp_path, width, data_rows, multithreading):
    header = b",".join(b"c%d" % i for i in range(width))
    row = b",".join(b"%d" % (i % 10) if i % 3 else b"w" for i in range(width))
    path = write_blocks(tmp_path / "wide.csv", header + b"\n", row + b"\n", data_rows)
    inf = run_pass(path, multithreading=multithreading)
    assert inf.num_rows == data_rows
    names = inf.col_names
    assert len(names) == width and names[-1] == f"c{width - 1}"
    counts = nonzero(inf.get_col_type_candidates())
    assert counts["c0"] == {"word": data_rows}
    assert counts[f"c{width - 1}"] == {"int" if (width - 1) % 3 else "word": data_rows}
    assert sum(sum(per.values()) for per in counts.values()) == width * data_rows


def test_one_line_of_a_million_cr_rows(tmp_path):
    rows = 1_000_000
    path = write_blocks(tmp_path / "cr.csv", b"a,b\r", b"1,x\r2.5,\r-,y\r\r", rows // 4)
    types = tmp_path / "types.txt"
    inf = run_pass(path, na={"-", ""}, types_path=types)
    with open(path, "rb") as f:
        assert b"\n" not in f.read()
    assert inf.num_rows == rows
    assert nonzero(inf.get_col_type_candidates()) == {
        "a": {"int": rows // 4, "float": rows // 4, "NA": 2 * rows // 4},
        "b": {"word": 2 * rows // 4, "NA": rows // 4},
    }
    with open(types, "rb") as f:
        lines = f.read().split(b"\n")
    assert lines[-1] == b"" and len(lines) - 1 == rows + 1
    assert lines[1:5] == [b"int,word", b"float,NA", b"NA,word", b"NA"]


@pytest.mark.parametrize(
    "data, rows, names",
    [
        (b"", 0, []),
        (b'""', 0, []),
        (b"\n\n\n", 2, ["Unitled_1"]),
        (b"\r\n\r\n", 1, ["Unitled_1"]),
        (b",,\n,", 1, ["Unitled_1", "Unitled_2", "Unitled_3"]),
        (b'"a\nb",c\n""""\n', 1, ["a\nb", "c"]),
    ],
    ids=["empty", "empty-quoted", "line-ends", "crlf-only", "delimiters-only", "quoted-newline"],
)
def test_degenerate_files(tmp_path, data, rows, names):
    inf = run_pass(write_blocks(tmp_path / "d.csv", data))
    assert (inf.num_rows, inf.col_names) == (rows, names)


def test_huge_field_does_not_stay_in_the_types_file(tmp_path):
    path = write_blocks(tmp_path / "big.csv", b"h,i\n", b"7" * MB, 20, b",z\n")
    types = tmp_path / "types.txt"
    run_pass(path, types_path=types)
    assert os.path.getsize(types) == len(b"h,i\nint,word\n")


SLOW_WRITER = """
import sys, time
with open(sys.argv[1], "wb") as out:
    for chunk in sys.argv[2:]:
        out.write(chunk.encode())
        out.flush()
        time.sleep(0.05)
"""
PIPE_ROWS = ["a,b\n", "1,x\n2,", "y\n3.5,z\n", "-,w"]


def expect_pipe_result(inf):
    assert inf.num_rows == 4
    assert inf.col_names == ["a", "b"]
    assert nonzero(inf.get_col_type_candidates()) == {
        "a": {"int": 2, "float": 1, "NA": 1},
        "b": {"word": 4},
    }


@pytest.mark.parametrize("multithreading", MODES)
def test_fifo_fed_by_a_slow_writer_is_read_once_whole(tmp_path, multithreading):
    fifo = tmp_path / "rows.fifo"
    os.mkfifo(fifo)
    writer = subprocess.Popen([sys.executable, "-c", SLOW_WRITER, str(fifo), *PIPE_ROWS])
    try:
        inf = run_pass(fifo, multithreading=multithreading, na={"-"})
    finally:
        writer.wait(timeout=60)
    assert writer.returncode == 0
    expect_pipe_result(inf)


@pytest.mark.parametrize("multithreading", MODES)
def test_pipe_from_a_child_process_as_dev_fd(tmp_path, multithreading):
    child = subprocess.Popen(
        [sys.executable, "-c", SLOW_WRITER, "/dev/stdout", *PIPE_ROWS],
        stdout=subprocess.PIPE,
    )
    try:
        inf = run_pass(f"/dev/fd/{child.stdout.fileno()}", multithreading=multithreading, na={"-"})
    finally:
        child.stdout.close()
        child.wait(timeout=60)
    expect_pipe_result(inf)


def listing(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


@pytest.mark.parametrize("multithreading", MODES)
@pytest.mark.parametrize(
    "input_name, types_name, save_types, message",
    [
        (
            "in.csv\x00junk",
            "types.txt",
            True,
            r"Something is wrong with input stream: .*in\.csv\\x00junk$",
        ),
        ("in.csv\x00", "", False, r"Something is wrong with input stream: .*in\.csv\\x00$"),
        (
            "in.csv",
            "victim.txt\x00.types",
            True,
            r"Cannot open types file: .*victim\.txt\\x00\.types$",
        ),
        ("in.csv", "new.txt\x00", True, r"Cannot open types file: .*new\.txt\\x00$"),
        ("in\x00.csv", "victim.txt\x00x", True, r"input stream: .*in\\x00\.csv$"),
    ],
    ids=["input", "input-trailing-nul", "types-existing", "types-new", "both"],
)
def test_path_with_nul_opens_nothing(
    tmp_path, multithreading, input_name, types_name, save_types, message
):
    folder = tmp_path / "files"
    folder.mkdir()
    write_rows(folder / "in.csv", [[b"a", b"b"], [b"1", b"x"]])
    write_blocks(folder / "victim.txt", b"keep me\n")
    before = listing(folder)
    inf = quorle_ext.Inf(
        str(folder / input_name),
        ",",
        PATTERNS,
        set(),
        multithreading,
        save_types,
        str(folder / types_name),
        1000,
    )
    # Each its own RuntimeError subclass, so that callers need not read the message.
    error = quorle_ext._TypesFileError if "types file" in message else quorle_ext._StreamError
    with pytest.raises(error, match=message):
        inf.infer_types()
    assert listing(folder) == before
    assert (inf.num_rows, inf.col_names) == (0, [])


def test_nul_in_an_unused_types_path_is_ignored(tmp_path):
    path = write_rows(tmp_path / "in.csv", [[b"a"], [b"1"]])
    inf = quorle_ext.Inf(path, ",", PATTERNS, set(), False, False, "t\x00x", 1000)
    inf.infer_types()
    assert inf.num_rows == 1
