"""End-to-end passes over CSV files, in sequential and in parallel mode."""

import csv
import io
import os
import random
import re
from dataclasses import dataclass

import pytest

PATTERNS = {"int": [r"-?[0-9]+"], "word": [r"[a-z]+"]}


def zero_counts(patterns=PATTERNS):
    return {**dict.fromkeys(patterns, 0), "other": 0, "NA": 0}


def counts(patterns=PATTERNS, **nonzero):
    return {**zero_counts(patterns), **nonzero}


@dataclass
class Pass:
    inf: object
    lines: list

    @property
    def candidates(self):
        return self.inf.get_col_type_candidates()


@pytest.fixture(params=[False, True], ids=["sequential", "parallel"])
def multithreading(request):
    return request.param


@pytest.fixture
def run(write_csv, make_inf, read_types, types_path, multithreading):
    """Writes a CSV (rows or raw), runs one pass with the types file on."""

    def run_(rows=None, *, raw=None, inf=None, **settings):
        path = write_csv(rows, raw=raw) if (rows is not None or raw is not None) else None
        if inf is None:
            settings.setdefault("col_type_patterns", PATTERNS)
            inf = make_inf(path, multithreading=multithreading, save_types_file=True, **settings)
        else:
            if path is not None:
                inf.set_filepath(path)
            assert not settings
        inf.infer_types()
        return Pass(inf, read_types(types_path))

    return run_


def test_counts_names_rows_and_types_file(run):
    result = run(
        [
            ["id", "name", "score"],
            ["1", "ann", "12"],
            ["2", "bob", "NA"],
            ["x3", "Cy", "-7"],
            ["4", "dee", "ok"],
        ]
    )
    assert result.inf.num_rows == 4
    assert result.inf.col_names == ["id", "name", "score"]
    assert result.candidates == {
        "id": counts(int=3, other=1),
        "name": counts(word=3, other=1),
        "score": counts(int=2, word=1, NA=1),
    }
    assert result.lines == [
        "id,name,score",
        "int,word,int",
        "int,word,NA",
        "other,other,int",
        "int,word,word",
    ]


def test_two_line_example(run):
    result = run(raw="a,b\n1,x\n", col_type_patterns={"int": [r"[0-9]+"]})
    assert result.lines == ["a,b", "int,other"]
    assert result.candidates == {
        "a": {"int": 1, "other": 0, "NA": 0},
        "b": {"int": 0, "other": 1, "NA": 0},
    }


def test_empty_file(run):
    first = run([["a"], ["1"]])
    before = first.candidates
    result = run(raw=b"", inf=first.inf)
    assert result.lines == []
    assert result.inf.num_rows == 0
    assert result.inf.col_names == []
    assert result.candidates == before


def test_header_only(run):
    result = run(raw="a,b,c\n")
    assert result.inf.num_rows == 0
    assert result.candidates == {c: zero_counts() for c in "abc"}
    assert result.lines == ["a,b,c"]


def test_header_only_without_line_end(run):
    result = run(raw="a,b")
    assert (result.inf.num_rows, result.inf.col_names, result.lines) == (0, ["a", "b"], ["a,b"])


def test_last_line_without_line_end_and_crlf(run):
    result = run(raw="a,b\r\n1,x\r2,y\r\n3,z")
    assert result.inf.num_rows == 3
    assert result.candidates["a"]["int"] == 3
    assert result.candidates["b"]["word"] == 3
    assert result.lines == ["a,b", *["int,word"] * 3]


def test_na_is_exact_and_comes_before_the_cache(run):
    rows = [["a", "b"], ["7", "na"], ["NA", "NA "], ["7", "NA"]]
    result = run(rows, na_values={"NA"})
    assert result.candidates == {
        "a": counts(int=2, NA=1),
        "b": counts(word=1, other=1, NA=1),
    }
    # "7" is now cached as int; listing it as missing wins over the cache.
    result.inf.set_na_values({"7"})
    again = run(inf=result.inf)
    assert again.candidates["a"] == counts(NA=2, other=1)
    assert again.lines[1:] == ["NA,word", "other,other", "NA,other"]


def test_na_does_not_fill_the_cache(run):
    # "5" is first met as a missing value, so the cache holds nothing for it
    # and a later pass with the text no longer missing must search it.
    result = run([["a"], ["5"]], na_values={"5"})
    assert result.candidates["a"] == counts(NA=1)
    inf = result.inf
    inf.set_na_values(set())
    inf.set_col_type_patterns({"digit": ["[0-9]"]})
    again = run(inf=inf)
    assert again.candidates["a"] == {"digit": 1, "other": 0, "NA": 0}


@pytest.mark.parametrize(
    ("na_values", "patterns", "expected"),
    [
        (set(), PATTERNS, "other"),
        ({""}, PATTERNS, "NA"),
        (set(), {"empty": [""]}, "empty"),
        (set(), {"t": ["x?"]}, "t"),
    ],
    ids=["other", "na", "empty-source", "optional"],
)
def test_empty_field(run, na_values, patterns, expected):
    result = run(raw="a,b\n,1\n", na_values=na_values, col_type_patterns=patterns)
    assert result.candidates["a"][expected] == 1
    assert result.lines[1].split(",")[0] == expected


def test_other_and_empty_pattern_table(run):
    result = run([["a"], ["1"], ["x"], ["NA"]], col_type_patterns={})
    assert result.candidates == {"a": {"other": 2, "NA": 1}}
    assert result.lines == ["a", "other", "other", "NA"]
    assert result.inf.get_col_type_patterns() == {}


def test_whole_field_must_match(run):
    result = run([["a"], ["12x"], [" 12"], ["12"], ["Ab"]])
    assert result.candidates["a"] == counts(int=1, other=3)


def test_type_with_no_sources_is_never_chosen(run):
    result = run([["a"], ["1"]], col_type_patterns={"none": [], "int": ["[0-9]"]})
    assert result.candidates["a"] == {"none": 0, "int": 1, "other": 0, "NA": 0}


def test_blank_lines(run):
    result = run(raw="a,b\n1,x\n\n2,y\n\n", na_values={""})
    assert result.inf.num_rows == 4
    assert result.candidates == {"a": counts(int=2, NA=2), "b": counts(word=2)}
    assert result.lines == ["a,b", "int,word", "NA", "int,word", "NA"]


def test_short_and_long_rows(run):
    result = run(raw="a,b,c\n1\n1,x\n1,x,2,y,z\n,,\n", na_values={""})
    assert result.inf.num_rows == 4
    assert result.candidates == {
        "a": counts(int=3, NA=1),
        "b": counts(word=2, NA=1),
        "c": counts(int=1, NA=1),
    }
    assert result.lines == ["a,b,c", "int", "int,word", "int,word,int", "NA,NA,NA"]


def test_quoted_header_cell_with_delimiter(run):
    result = run(raw='"a,b",c\n"1,2",3\n')
    assert result.inf.col_names == ["a,b", "c"]
    assert result.candidates["a,b"] == counts(other=1)
    assert result.lines == ["a,b,c", "other,int"]


def test_duplicate_header_names(run):
    result = run([["x", "y", "x"], ["1", "a", "b"], ["2", "3", "NA"]])
    assert result.inf.col_names == ["x", "y", "x"]
    assert result.candidates == {
        "x": counts(int=2, word=1, NA=1),
        "y": counts(int=1, word=1),
    }
    assert result.lines == ["x,y,x", "int,word,word", "int,int,NA"]


def test_shared_name_counts_add_up_over_many_rows(run):
    # In parallel mode cells of one name update one table from many threads.
    rng = random.Random(7)
    data = [
        [rng.choice(["1", "22", "ab", "NA", "?", str(i)]) for _ in range(8)] for i in range(300)
    ]
    result = run([["x"] * 6 + ["y", "x"], *data])
    found = result.candidates
    assert sum(found["x"].values()) == 300 * 7
    assert sum(found["y"].values()) == 300
    cells = [v for row in data for v in row[:6] + row[7:]]
    assert found["x"]["NA"] == cells.count("NA")
    assert found["x"]["other"] == cells.count("?")
    assert found["x"]["word"] == cells.count("ab")


def test_untitled_names_continue_across_passes(run):
    first = run(raw="a,,b,\n1,2,3,4\n")
    assert first.inf.col_names == ["a", "Unitled_1", "b", "Unitled_2"]
    assert first.lines[0] == "a,Unitled_1,b,Unitled_2"
    second = run(inf=first.inf)
    assert second.inf.col_names == ["a", "Unitled_3", "b", "Unitled_4"]
    assert second.lines[0] == "a,Unitled_3,b,Unitled_4"
    assert set(second.candidates) == {"a", "b", *(f"Unitled_{i}" for i in range(1, 5))}
    assert second.candidates["Unitled_1"] == counts(int=1)
    assert second.candidates["Unitled_3"] == counts(int=1)


def test_second_pass_resets_own_columns_and_keeps_others(run):
    first = run([["a", "b"], ["1", "x"], ["2", "y"]])
    second = run([["b", "c"], ["z", "3"]], inf=first.inf)
    assert second.inf.num_rows == 1
    assert second.inf.col_names == ["b", "c"]
    assert second.candidates == {
        "a": counts(int=2),
        "b": counts(word=1),
        "c": counts(int=1),
    }


def test_new_pattern_table_seeds_next_header(run):
    first = run([["a"], ["1"]])
    first.inf.set_col_type_patterns({"digits": ["[0-9]+"]})
    first.inf.set_rolling_cache_window(1)
    second = run(inf=first.inf)
    assert second.candidates == {"a": {"digits": 1, "other": 0, "NA": 0}}


@pytest.mark.parametrize("window", [1, 2, 3, 4, 5, 6, 7, 100, 0, -1, -2147483648])
def test_cache_window(run, window):
    # Pass 1 caches the texts "1".."5" (rows 2..6) as "old"; the cache is
    # emptied after every row number that is a multiple of the window, the
    # header being row 1. Pass 2 meets all five texts in its first data row
    # under a table that only knows "new": a text still cached keeps "old".
    texts = [str(i) for i in range(1, 6)]
    rows = [["v"], *([t] for t in texts)]
    first = run(rows, col_type_patterns={"old": ["[0-9]"]}, rolling_cache_window=window)
    assert first.candidates["v"]["old"] == 5
    first.inf.set_col_type_patterns({"new": ["[0-9]"]})
    second = run([texts, texts], inf=first.inf)

    last_clear = (len(rows) // window) * window if window > 0 else 0
    expected = ["old" if row_no > last_clear else "new" for row_no in range(2, 7)]
    assert second.lines[1] == ",".join(expected)
    for t, name in zip(texts, expected, strict=True):
        assert second.candidates[t][name] == 1


def test_cache_is_shared_by_columns_and_order_adapts(run):
    # "b1" matches both types. Column a learns to try "alpha" first, column b
    # "beta" first; the column that meets "b1" first decides its type, and
    # the other column takes it from the cache.
    patterns = {"alpha": ["a[0-9]", "b[0-9]"], "beta": ["b[0-9]", "c[0-9]"]}
    rows = [["a", "b"], ["a1", "c2"], ["a2", "b1"], ["b1", "b3"]]
    shared = run(rows, col_type_patterns=patterns)
    assert shared.lines[2:] == ["alpha,beta", "beta,beta"]
    # With the cache emptied after every row, column a decides on its own.
    own = run(rows, col_type_patterns=patterns, rolling_cache_window=1)
    assert own.lines[2:] == ["alpha,beta", "alpha,beta"]
    assert own.candidates["a"] == {"alpha": 3, "beta": 0, "other": 0, "NA": 0}


def test_cached_type_of_an_old_table_is_counted(run):
    first = run([["a"], ["5"]])
    first.inf.set_col_type_patterns({"num": ["[0-9]"]})
    second = run(inf=first.inf)
    assert second.candidates["a"] == {"num": 0, "int": 1, "other": 0, "NA": 0}


def test_types_file_off_writes_nothing(write_csv, make_inf, types_path, multithreading):
    inf = make_inf(write_csv([["a"], ["1"]]), multithreading=multithreading)
    inf.infer_types()
    assert not os.path.exists(types_path)
    assert inf.num_rows == 1


def test_types_file_is_truncated(run, types_path):
    with open(types_path, "w") as f:
        f.write("stale\n" * 100)
    result = run([["a"], ["1"]])
    assert result.lines == ["a", "int"]


def test_many_columns(run):
    width = 1500
    header = [f"c{i}" for i in range(width)]
    rows = [header, [str(i) for i in range(width)], ["w"] * width, ["NA", *["x1"] * (width - 1)]]
    result = run(rows)
    assert result.inf.col_names == header
    assert result.inf.num_rows == 3
    found = result.candidates
    assert found["c0"] == counts(int=1, word=1, NA=1)
    assert {name: found[name] for name in header[1:]} == dict.fromkeys(
        header[1:], counts(int=1, word=1, other=1)
    )
    assert result.lines[3] == ",".join(["NA", *["other"] * (width - 1)])


@pytest.mark.parametrize(
    ("pattern", "text"),
    [("(a*)*b", "a" * 40), ("(x+x+)+y", "x" * 40)],
    ids=["nested-star", "nested-plus"],
)
def test_regex_complexity_error(run, make_inf, write_csv, multithreading, pattern, text):
    path = write_csv([["p", "q"], ["z", text]])
    inf = make_inf(
        path,
        col_type_patterns={"bad": [pattern]},
        multithreading=multithreading,
        save_types_file=True,
    )
    with pytest.raises(RuntimeError, match="regular expression"):
        inf.infer_types()
    # The session stays usable once the pattern table is sane.
    inf.set_col_type_patterns(PATTERNS)
    result = run([["p", "q"], ["1", "y"], ["w", "2"]], inf=inf)
    assert result.inf.num_rows == 2
    assert result.candidates["p"] == counts(int=1, word=1)
    assert result.candidates["q"] == counts(int=1, word=1)


# Types that no text can match twice, so trial order and cache sharing never
# change a result and a plain model can predict every count.
MODEL_PATTERNS = {
    "int": [r"-?[0-9]+"],
    "float": [r"-?[0-9]+\.[0-9]+", r"-?\.[0-9]+"],
    "word": [r"[a-z]+"],
    "date": [r"[0-9]{4}-[0-9]{2}-[0-9]{2}"],
    "flag": [r"TRUE", r"FALSE"],
}
MODEL_NA = {"NA", "", "null"}


def random_text(rng):
    kind = rng.randrange(12)
    if kind == 0:
        return str(rng.randint(-(10**6), 10**6))
    if kind == 1:
        return f"{rng.uniform(-100, 100):.{rng.randint(1, 4)}f}"
    if kind == 2:
        return "".join(rng.choice("abcxyz") for _ in range(rng.randint(1, 6)))
    if kind == 3:
        return f"{rng.randint(1900, 2099)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
    if kind == 4:
        return rng.choice(["true", "false", "True", "FALSE"])
    if kind == 5:
        return rng.choice(sorted(MODEL_NA) + ["na", " NA"])
    if kind == 6:
        return rng.choice(['say "hi"', "a,b", "x;y", "tab\there", "line\nbreak", "cr\rret"])
    if kind == 7:
        return rng.choice(["caf\u00e9", "\u00fcber", "\u20ac5", "\u65e5\u672c"])
    if kind == 8:
        return rng.choice(["1e5", "0x1F", "12 ", " 7", "--3", "1.", "2020-1-1"])
    return str(rng.randint(0, 20))


def model_counts(rows, patterns, na_values):
    compiled = {t: [re.compile(p) for p in ps] for t, ps in patterns.items()}

    def classify(text):
        if text in na_values:
            return "NA"
        for t, regexes in compiled.items():
            if any(r.fullmatch(text) for r in regexes):
                return t
        return "other"

    header, *data = rows
    result = {name: {**dict.fromkeys(patterns, 0), "other": 0, "NA": 0} for name in header}
    lines = [",".join(header)]
    for row in data:
        found = [classify(v) for v in row]
        for name, t in zip(header, found, strict=False):
            result[name][t] += 1
        lines.append(",".join(found))
    return result, lines


def write_row(rng, row, delimiter):
    """Quotes where the format needs it, and now and then where it does not."""
    out = []
    for v in row:
        needs = any(ch in v for ch in (delimiter, '"', "\r", "\n")) or (len(row) == 1 and not v)
        if needs or rng.random() < 0.05:
            v = '"' + v.replace('"', '""') + '"'
        out.append(v)
    return delimiter.join(out)


@pytest.mark.parametrize("seed", range(6))
def test_matches_independent_model(run, seed):
    rng = random.Random(seed)
    delimiter = rng.choice([",", ";", "\t", "|"])
    terminator = rng.choice(["\n", "\r\n", "\r"])
    width = rng.randint(1, 9)
    header = [f"col{i}_{rng.choice('pqr')}" for i in range(width)]
    data = [[random_text(rng) for _ in range(width)] for _ in range(rng.randint(50, 400))]
    raw = terminator.join(write_row(rng, row, delimiter) for row in [header, *data])
    if rng.random() < 0.5:
        raw += terminator
    parsed = list(csv.reader(io.StringIO(raw, newline=""), delimiter=delimiter))
    assert parsed == [header, *data]

    expected, expected_lines = model_counts(parsed, MODEL_PATTERNS, MODEL_NA)
    result = run(
        raw=raw,
        delimiter=delimiter,
        col_type_patterns=MODEL_PATTERNS,
        na_values=MODEL_NA,
        rolling_cache_window=rng.choice([1, 3, 17, 1000, 0, -1]),
    )
    assert result.inf.col_names == header
    assert result.inf.num_rows == len(data)
    assert result.candidates == expected
    assert result.lines == expected_lines
