"""The engine's extras as the package reads them: shape, bytes, both modes."""

import pytest


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
    assert inf._extras() == {
        "row_widths": row_widths,
        "max_lengths": max_lengths,
        "examples": examples,
    }


def test_extras_are_off_by_default_and_leave_counts_alone(write_csv, make_inf):
    path = write_csv(raw=b"a,b\n1,x\n2\n1,y,z\nq,7\n")
    plain = make_inf(path)
    plain.infer_types()
    assert plain._extras() == {"row_widths": [], "max_lengths": [], "examples": []}
    with_extras = make_inf(path)
    with_extras._set_extras(3)
    with_extras.infer_types()
    assert with_extras.get_col_type_candidates() == plain.get_col_type_candidates()
    assert with_extras.num_rows == plain.num_rows


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
    from quorle import render

    result = quorle.infer(write_csv(raw=raw), extras=True)
    report = render.table_report(result, 0.001, ",", extras=True)
    for word in words:
        assert word in report, (word, report)
    assert len(report.splitlines()) == 3 + len(result.columns)
