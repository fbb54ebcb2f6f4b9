"""The engine's extras as the package reads them: shape, bytes, both modes."""

import pytest

# What _extras() gives after a pass with the extras and the reading settings off.
OFF = {
    "row_widths": [],
    "max_lengths": [],
    "examples": [],
    "blank_lines": 0,
    "comment_lines": 0,
    "skipped_lines": 0,
    "blank_rows": 0,
    "na_spellings": [],
    "untitled_cells": [],
    "invalid_utf8": [],
    "formats": [],
    "quirks": {
        "mid_field_quotes": 0,
        "text_after_quote": 0,
        "copy_end_lines": 0,
        "quoted_line_ends": 0,
        "line_ends": {"lf": 0, "crlf": 0, "cr": 0},
        "nul_bytes": 0,
        "unclosed_quote": 0,
    },
    "fits_double": [],
    "fits_int64": [],
    "int_digits": [],
    "frac_digits": [],
}


@pytest.mark.parametrize("multithreading", [False, True])
@pytest.mark.parametrize(
    "raw, k, row_widths, max_lengths, examples",
    [
        (
            b"a,b\n1,x\n2\n1,y,z\n\xff\xfe,y\n",
            2,
            [0, 1, 2, 1],
            [2, 1],
            [{"int": [b"1", b"2"], "other": [b"\xff\xfe"]}, {"word": [b"x", b"y"]}],
        ),
        (b"a,b\n1,x\n123,\n", 0, [0, 0, 2, 0], [3, 1], [{}, {}]),
        (b"a\nNA\nNA\n", 5, [0, 2, 0], [2], [{"NA": [b"NA"]}]),
    ],
)
def test_extras_of_a_pass(
    write_csv, make_inf, multithreading, raw, k, row_widths, max_lengths, examples
):
    inf = make_inf(write_csv(raw=raw), multithreading=multithreading)
    inf._set_extras(k)
    inf.infer_types()
    extras = inf._extras()
    assert extras["row_widths"] == row_widths
    assert extras["max_lengths"] == max_lengths
    assert extras["examples"] == examples


def test_extras_are_off_by_default_and_leave_counts_alone(write_csv, make_inf):
    path = write_csv(raw=b"a,b\n1,x\n2\n1,y,z\nq,7\n")
    plain = make_inf(path)
    plain.infer_types()
    assert plain._extras() == OFF
    with_extras = make_inf(path)
    with_extras._set_extras(3)
    with_extras.infer_types()
    assert with_extras.get_col_type_candidates() == plain.get_col_type_candidates()
    assert with_extras.num_rows == plain.num_rows


@pytest.mark.parametrize("multithreading", [False, True])
@pytest.mark.parametrize(
    "raw, reading, names, rows, counted",
    [
        (b"a,b\n1,x\n\n", (False, True, 0, ""), ["a", "b"], 2, (0, 0, 0)),
        (b"a,b\n1,x\n\n", (True, True, 0, ""), ["a", "b"], 1, (1, 0, 0)),
        (b'a,b\r\n""\r\n\r\n', (True, True, 0, ""), ["a", "b"], 1, (1, 0, 0)),
        (b'Title "Q3\na,b\n1,2\n', (False, True, 1, ""), ["a", "b"], 1, (0, 0, 1)),
        (b'#x\na,b\n#y,"z"\n"#q",2\n', (False, True, 0, "#"), ["a", "b"], 1, (0, 2, 0)),
        (b"1,1\n2,x\n", (False, False, 0, ""), ["column_1", "column_2"], 2, (0, 0, 0)),
    ],
)
def test_reading_settings(write_csv, make_inf, multithreading, raw, reading, names, rows, counted):
    inf = make_inf(write_csv(raw=raw), multithreading=multithreading)
    inf._set_reading(*reading)
    inf.infer_types()
    extras = inf._extras()
    assert inf.col_names == names
    assert inf.num_rows == rows
    assert (extras["blank_lines"], extras["comment_lines"], extras["skipped_lines"]) == counted


@pytest.mark.parametrize(
    "reading, error",
    [
        ((False, True, 0, "##"), ValueError),
        ((False, True, 0, '"'), ValueError),
        ((False, True, -1, ""), TypeError),
    ],
)
def test_reading_settings_refused(make_inf, reading, error):
    with pytest.raises(error):
        make_inf()._set_reading(*reading)


def test_headerless_first_row_counts_per_column(write_csv, make_inf):
    path = write_csv(raw=b"7,7\n8,x\n")
    headed = make_inf(path)
    headed.infer_types()
    assert sum(headed.get_col_type_candidates()["7"].values()) == 2
    headless = make_inf(path)
    headless._set_reading(False, False, 0, "")
    headless.infer_types()
    counts = headless.get_col_type_candidates()
    assert sorted(counts) == ["column_1", "column_2"]
    assert [sum(counts[name].values()) for name in sorted(counts)] == [2, 2]
    assert headless.num_rows == 2


@pytest.mark.parametrize("multithreading", [False, True])
@pytest.mark.parametrize(
    "raw, key, value",
    [
        (b'a,b\n1,ab"c\n', "mid_field_quotes", 1),
        (b"a\n\\.\n1\n", "copy_end_lines", 1),
        (b'a,b\n1,"x\n\\.\r\ny"\n', "copy_end_lines", 1),
        (b'a,b\n"x" ,"y"z\n', "text_after_quote", 2),
        (b'a,b\n"x\ny",1\n', "quoted_line_ends", 1),
        (b"a\r\n1\n2\r3\r\n", "line_ends", {"lf": 1, "crlf": 2, "cr": 1}),
        (b"a,b\nx\x00y,1\n", "nul_bytes", 1),
        (b'a,b\n1,"open\n', "unclosed_quote", 1),
    ],
)
def test_quirks(write_csv, make_inf, multithreading, raw, key, value):
    inf = make_inf(write_csv(raw=raw), multithreading=multithreading)
    inf._set_extras(0)
    inf.infer_types()
    quirks = inf._extras()["quirks"]
    assert quirks[key] == value
    assert set(quirks) == set(OFF["quirks"])


def test_spellings_bytes_and_numbers_per_position(write_csv, make_inf):
    raw = b"n,s,t\n1.5,None,x\n0.10000000000000000001,NA,\xe9\n99999999999999999999,None,y\n"
    inf = make_inf(
        write_csv(raw=raw),
        na_values={"NA", "None"},
        col_type_patterns={"dec": [r"[0-9]+\.[0-9]+"], "int": ["[0-9]+"], "word": ["[a-z]+"]},
    )
    inf._set_extras(0)
    inf._set_numeric_checks(["dec"], ["int"])
    inf.infer_types()
    extras = inf._extras()
    assert extras["na_spellings"] == [{}, {"None": 2, "NA": 1}, {}]
    assert extras["invalid_utf8"] == [0, 0, 1]
    assert extras["fits_double"] == [False, True, True]
    assert extras["fits_int64"] == [False, True, True]
    # Digits of the checked types only: neither the missing values nor the words count.
    assert extras["int_digits"] == [20, 0, 0]
    assert extras["frac_digits"] == [20, 0, 0]


@pytest.mark.parametrize("threads", [2, 3])
def test_split_pass_gives_the_sequential_extras(write_csv, make_inf, threads):
    rows = [b"a,b"] + [
        b"#c" if i % 7 == 0 else b"" if i % 5 == 0 else b'%d,x"%d' % (i, i) for i in range(60000)
    ]
    path = write_csv(raw=b"title\n" + b"\n".join(rows) + b"\n")

    def run(split):
        inf = make_inf(path)
        inf._set_reading(True, True, 1, "#")
        inf._set_extras(1)
        inf._set_numeric_checks([], ["int"])
        reason = inf._infer_split(threads) if split else inf.infer_types()
        return reason, inf._extras(), inf.get_col_type_candidates(), inf.num_rows

    reason, *split = run(True)
    _, *sequential = run(False)
    assert reason == ""
    assert split == sequential
    assert sequential[0]["comment_lines"] > 0 and sequential[0]["blank_lines"] > 0


# ---- how the report shows a file ----

REPORT_CASES = [
    # file bytes, words the report must hold
    (b"a\n1\n", [": 1 data row, 1 column,", "integer 1"]),
    (b"a,b\n1,x\n2,y\n", [": 2 data rows, 2 columns,"]),
    (b"a\nNA\n", ["the only field is missing"]),
    # Examples read as their text; bytes that are not UTF-8 as one escape each, and a line end
    # inside a field as an escape, never a break in the table.
    (b"a\n\xc2\xa9\n1\n", ["other e.g. '\xa9'"]),
    (b"a\n\xa9\n1\n", ["other e.g. '\\xa9'"]),
    (b'a\n"x\ny"\n1\n', ["other e.g. 'x\\ny'"]),
]


@pytest.mark.parametrize(("raw", "words"), REPORT_CASES)
def test_table_report_reads_as_written(write_csv, raw, words):
    import quorle
    from quorle.command import render

    result = quorle.infer(write_csv(raw=raw), extras=True)
    report = render.table_report(result, 0.001, ",", extras=True)
    for word in words:
        assert word in report, (word, report)
    assert len(report.splitlines()) == 3 + len(result.columns)
