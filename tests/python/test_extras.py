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
