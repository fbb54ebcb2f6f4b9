"""The split pass's bindings: the shapes the quorle package relies on, and results equal to
infer_types() through them, both as one call and as ranges merged by the caller."""

import os
import threading

import pytest

import quorle_ext

PATTERNS = {"int": [r"-?[0-9]+"], "dec": [r"-?[0-9]+\.[0-9]+"], "word": [r"[a-z]+"]}


def big_csv(write_csv):
    """A file above the size a split needs, with quoted line ends across the cuts."""
    rows = [",a,b,a"]
    for i in range(60000):
        rows.append(f'{i},x{i % 13},"q\n{i % 7}",{i % 5}.5' if i % 3 else f"{i},w,NA,{i}")
    return write_csv(raw="\n".join(rows) + "\n")


def session(make_inf, path, window=1000):
    inf = make_inf(path, col_type_patterns=PATTERNS, rolling_cache_window=window)
    inf._set_extras(2)
    return inf


def results(inf):
    return inf.get_col_type_candidates(), inf.num_rows, inf.col_names, inf._extras()


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("window", [1000, 0, 7])
def test_infer_split_leaves_what_infer_types_leaves(make_inf, write_csv, threads, window):
    path = big_csv(write_csv)
    sequential = session(make_inf, path, window)
    sequential.infer_types()
    split = session(make_inf, path, window)
    assert split._infer_split(threads) == ""
    assert results(split) == results(sequential)
    # The cache left behind decides its texts under another table.
    for inf in (sequential, split):
        inf.set_col_type_patterns({"any": [".*"]})
        inf.infer_types()
    assert split.get_col_type_candidates() == sequential.get_col_type_candidates()


def test_ranges_merged_by_the_caller_give_the_pass(make_inf, write_csv):
    path = big_csv(write_csv)
    inf = session(make_inf, path)
    names, data_start, lead_in = inf._read_header()
    assert names == [b"Unitled_1", b"a", b"b", b"a"]
    size = os.path.getsize(path)
    cuts = [data_start, size // 3, 2 * size // 3, size]
    reports = []
    for i in range(3):
        report = inf._infer_range(cuts[i], cuts[i + 1], names, i > 0)
        if reports and report["start"] != reports[-1]["next"]:
            report = inf._infer_range(reports[-1]["next"], cuts[i + 1], names, False)
        reports.append(report)
    assert reports[-1]["next"] == size
    counts = {}
    for report in reports:
        for name, table in report["counts"].items():
            merged = counts.setdefault(name.decode(), dict.fromkeys(table, 0))
            for type_name, count in table.items():
                merged[type_name] += count
    inf.infer_types()
    assert counts == inf.get_col_type_candidates()
    assert sum(r["rows"] for r in reports) == inf.num_rows
    widths = [sum(col) for col in zip(*(r["row_widths"] for r in reports), strict=True)]
    assert widths == inf._extras()["row_widths"]
    assert quorle_ext._merge_extras([lead_in, *reports], len(names), 2) == inf._extras()


def test_fresh_copies_the_table_and_nothing_else(make_inf, write_csv):
    first = write_csv([["", "x"], ["1", "a"]])
    second = write_csv([["", "y"], ["b", "2"]])
    inf = session(make_inf, first)
    inf.infer_types()
    copy = inf._fresh(second)
    assert copy.get_filepath() == second
    assert copy.num_rows == 0 and copy.get_col_type_candidates() == {}
    copy.infer_types()
    assert copy.col_names == ["Unitled_1", "y"]
    assert copy.get_col_type_patterns() == inf.get_col_type_patterns()
    assert copy._extras()["examples"][0] == {"word": [b"b"]}


@pytest.mark.parametrize(
    ("settings", "reason"),
    [
        ({"col_type_patterns": {"int": ["[0-9]+"], "num": ["[0-9.]+"]}}, "the types overlap"),
        ({"multithreading": True}, "multithreading is on"),
        ({"save_types_file": True}, "a types file is written"),
    ],
)
def test_fallbacks_say_why_and_give_the_sequential_result(make_inf, write_csv, settings, reason):
    path = big_csv(write_csv)
    overrides = {"col_type_patterns": PATTERNS, **settings}
    split = make_inf(path, **overrides)
    assert split._infer_split(2) == reason
    sequential = make_inf(path, **overrides)
    sequential.infer_types()
    assert split.get_col_type_candidates() == sequential.get_col_type_candidates()


def test_small_file_and_pipe_are_read_on_one_core(make_inf, write_csv, tmp_path):
    small = session(make_inf, write_csv([["a"], ["1"]]))
    assert small._infer_split(2) == "the file is small"
    assert small.num_rows == 1
    fifo = str(tmp_path / "in.fifo")
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "w") as out:
            out.write("a\n1\n2\n")

    writer = threading.Thread(target=feed)
    writer.start()
    piped = session(make_inf, fifo)
    assert piped._infer_split(2) == "not a regular file"
    writer.join()
    assert piped.num_rows == 2


def test_errors_raise_as_infer_types_raises(make_inf, tmp_path):
    inf = make_inf(str(tmp_path / "missing.csv"), col_type_patterns=PATTERNS)
    with pytest.raises(RuntimeError, match="Something is wrong with input stream"):
        inf._infer_split(2)
    with pytest.raises(ValueError):
        inf._infer_split(0)
