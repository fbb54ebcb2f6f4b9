"""Format verdicts through the bindings: which alternatives of a type every field of it fits,
per column, with the row and text of each one's first misfit; ranges merged by the caller give
the pass's verdicts."""

from __future__ import annotations

import os

import pytest

import quorle_ext

ISO = {"pattern": "%Y-%m-%d"}
DAY_FIRST = {"pattern": "%d/%m/%Y"}
MONTH_FIRST = {"pattern": "%m/%d/%Y"}
POINT = {"decimal_mark": "."}
COMMA = {"decimal_mark": ","}
FORMATS = {"date": [ISO, DAY_FIRST, MONTH_FIRST], "dec": [POINT, COMMA]}


def patterns():
    """Each type matches what its alternatives read, as the package derives it."""
    table = {name: [quorle_ext._format_regex(f) for f in alts] for name, alts in FORMATS.items()}
    table["word"] = ["[a-z]+"]
    return table


def session(make_inf, path, extras=None):
    inf = make_inf(path, col_type_patterns=patterns())
    inf._set_formats(FORMATS)
    if extras is not None:
        inf._set_extras(extras)
    return inf


def row_start(data: bytes, field: str) -> int:
    """Where the line holding `field` starts."""
    return data.rindex(b"\n", 0, data.index(field.encode())) + 1


CASES = [
    pytest.param(
        "d,n\n01/02/2020,1.5\n03/04/2021,2\nNA,x\n25/12/2020,3\n",
        [
            {"date": ([False, True, False], ["01/02/2020", None, "25/12/2020"])},
            {"dec": ([True, False], [None, "1.5"])},
        ],
        id="day-first-decided-late",
    ),
    pytest.param(
        "d\n2020-01-02\nabc\n13/01/2020\n",
        [{"date": ([False, False, False], ["13/01/2020", "2020-01-02", "2020-01-02"])}],
        id="fits-none",
    ),
    pytest.param(
        'n\n"1,5"\n2\n',
        [{"dec": ([False, True], ["1,5", None])}],
        id="decimal-comma",
    ),
]


@pytest.mark.parametrize("extras", [None, 0, 2])
@pytest.mark.parametrize(("text", "expected"), CASES)
def test_infer_types_gives_verdicts_with_or_without_extras(
    make_inf, write_csv, text, expected, extras
):
    path = write_csv(raw=text)
    data = text.encode()
    inf = session(make_inf, path, extras)
    inf.infer_types()
    got = inf._extras()
    want = [
        {
            name: {
                "fits": fits,
                "ruled_out": [
                    None if field is None else (row_start(data, field), field.encode())
                    for field in misfits
                ],
            }
            for name, (fits, misfits) in column.items()
        }
        for column in expected
    ]
    assert got["formats"] == want
    # The other extras stay as their own setting has them.
    assert (got["row_widths"] == []) == (extras is None)


def test_long_misfit_is_cut_and_bytes_are_kept(make_inf, write_csv):
    long_word = "a" + "é" * 150  # the cut falls between a character's bytes
    path = write_csv(raw=f"f\nyes\n{long_word}\n".encode())
    inf = make_inf(path, col_type_patterns={"flag": [".+"]})
    inf._set_formats({"flag": [{"true": ["yes"], "false": ["no"]}]})
    inf.infer_types()
    ((offset, text),) = inf._extras()["formats"][0]["flag"]["ruled_out"]
    assert offset == len("f\nyes\n")
    assert long_word.encode().startswith(text) and 0 < len(text) < len(long_word.encode())


@pytest.mark.parametrize(
    "formats",
    [
        {"date": [{"pattern": "%Q"}]},
        {"date": [ISO] * 65},
        {"date": [{"decimal_mark": ".", "pattern": "%Y"}, {"colour": "red"}]},
    ],
)
def test_bad_formats_are_refused_and_keep_the_setting_before(make_inf, write_csv, formats):
    inf = session(make_inf, write_csv(raw="d\n2020-01-02\n"))
    with pytest.raises(ValueError):
        inf._set_formats(formats)
    inf.infer_types()
    assert inf._extras()["formats"][0]["date"]["fits"] == [True, False, False]


def test_empty_setting_turns_verdicts_off(make_inf, write_csv):
    inf = session(make_inf, write_csv(raw="d\n2020-01-02\n"))
    inf._set_formats({})
    inf.infer_types()
    assert inf._extras()["formats"] == []


def big_csv(write_csv):
    """Day-first dates decided late, decimals of both marks, missing values and words."""
    rows = ["d,n,w"]
    for i in range(40000):
        day, month = i % 28 + 1, i % 12 + 1
        date = f"{day:02}/{month:02}/20{i % 30:02}" if i % 5 else "NA"
        number = f"{i}.{i % 9}" if i < 30000 else f'"{i},{i % 9}"'
        rows.append(f"{date},{number},{'x' if i % 7 else '01/13/2000'}")
    return write_csv(raw="\n".join(rows) + "\n")


def ranges_merged(inf, path, cuts):
    names, data_start, lead_in = inf._read_header()
    bounds = [data_start, *cuts, os.path.getsize(path)]
    reports = []
    for i in range(len(bounds) - 1):
        reports.append(inf._infer_range(bounds[i], bounds[i + 1], names, i > 0))
    quorle_ext._chain_ranges(
        reports, lambda i, start: inf._infer_range(start, bounds[i + 1], names, False)
    )
    return quorle_ext._merge_extras([lead_in, *reports], len(names), 2)


@pytest.mark.parametrize("fractions", [[0.5], [0.1, 0.75], [0.3, 0.31, 0.9]])
def test_ranges_merged_give_the_sequential_verdicts(make_inf, write_csv, fractions):
    path = big_csv(write_csv)
    size = os.path.getsize(path)
    sequential = session(make_inf, path, 2)
    sequential.infer_types()
    expected = sequential._extras()
    ranged = session(make_inf, path, 2)
    merged = ranges_merged(ranged, path, [int(size * f) for f in fractions])
    assert merged == expected
    split = session(make_inf, path)
    assert split._infer_split(len(fractions) + 1) == ""
    assert split._extras()["formats"] == expected["formats"]
    # Month-first falls at the first day past twelve, the point at the
    # first comma row, far into the file.
    assert expected["formats"][0]["date"]["fits"] == [False, True, False]
    assert expected["formats"][1]["dec"]["fits"] == [False, False]
    assert expected["formats"][2]["date"]["fits"] == [False, False, True]
