"""The quorle package in-process: the suggestion rule, pattern files, input hygiene
and what `infer` reports."""

from __future__ import annotations

import io
import itertools
import json
import pathlib

import pytest

import quorle
from quorle.engine import sources
from quorle.inference import hygiene
from quorle.inference.patterns import DEFAULT_PATTERNS_PATH

# ---- the suggestion rule ----

SUGGEST_CASES = [
    # counts, widening (None: default), suggested, words every note must hold in order
    ({"integer": 10, "decimal": 0, "other": 0, "NA": 0}, None, "integer", []),
    ({"integer": 25439, "decimal": 676}, None, "decimal", ["mixed: integer 97.4%, decimal 2.6%"]),
    ({"decimal": 3, "integer": 1, "NA": 1}, None, "decimal", ["mixed: decimal 75%, integer 25%"]),
    ({"integer": 5, "code": 3}, None, "text", ["mixed: integer 62.5%, code 37.5%"]),
    ({"integer": 5, "decimal": 5, "code": 1}, None, "text", ["mixed"]),
    ({"date": 5, "datetime": 5}, None, "text", ["mixed: date 50%, datetime 50%"]),
    ({"integer": 1899, "other": 101}, None, "text", ["mixed: integer 95%, other 5.1%"]),
    ({"other": 5, "NA": 0}, None, "text", []),
    ({"NA": 6, "other": 4}, None, "text", ["mostly missing: NA is 60%"]),
    ({"NA": 5, "date": 5}, None, "date", []),
    ({"NA": 90, "date": 10}, None, "date", ["mostly missing: NA is 90%"]),
    ({"NA": 9, "integer": 1, "decimal": 1}, None, "decimal", ["mixed", "NA is 81.8%"]),
    ({"NA": 3, "integer": 0, "other": 0}, None, "empty", ["all 3 fields missing"]),
    ({"NA": 1, "integer": 0}, None, "empty", ["the only field is missing"]),
    # Shares round half up, and a share that is neither none nor all never reads as either.
    ({"integer": 2, "other": 1}, None, "text", ["mixed: integer 66.7%, other 33.3%"]),
    ({"integer": 37346, "other": 3}, None, "text", ["mixed: integer >99.9%, other <0.1%"]),
    ({"integer": 1998, "other": 2}, None, "text", ["mixed: integer 99.9%, other 0.1%"]),
    ({"integer": 0, "other": 0, "NA": 0}, None, "empty", ["no data"]),
    ({}, None, "empty", ["no data"]),
    # A user's table names its own widening, and then the implied one no longer holds.
    ({"integer": 1, "decimal": 1}, {}, "text", ["mixed"]),
    ({"a": 1, "b": 1}, {"a": ["b"]}, "b", ["mixed"]),
    ({"small": 2, "big": 1}, {"small": ["mid"], "mid": ["big"]}, "big", ["mixed"]),
    ({"x": 1, "y": 1}, {"x": ["w2", "w1"], "y": ["w1"], "w1": ["w2"]}, "w1", ["mixed"]),
    ({"x": 1, "y": 1}, {"x": ["sql_real"], "y": ["sql_real"]}, "sql_real", ["mixed"]),
    ({"a": 1, "other": 1}, {"a": ["b"], "other": ["b"]}, "text", ["mixed"]),
    # No common target widens to the others: the first one in order, not text.
    ({"x": 1, "y": 1}, {"x": ["p", "q"], "y": ["q", "p"]}, "p", ["mixed"]),
    ({"x": 1, "y": 1}, {"x": ["q", "p"], "y": ["p", "q"]}, "q", ["mixed"]),
]


@pytest.mark.parametrize(("counts", "widening", "expected", "note_words"), SUGGEST_CASES)
def test_suggest(counts, widening, expected, note_words):
    suggested, notes = quorle.suggest(counts, widening)
    assert suggested == expected
    text = "; ".join(notes)
    position = 0
    for words in note_words:
        found = text.find(words, position)
        assert found >= 0, (words, text)
        position = found + len(words)
    assert bool(notes) == bool(note_words)


def test_suggest_does_not_depend_on_the_order_of_the_counts():
    counts = {"integer": 4, "decimal": 4, "code": 4, "other": 4, "NA": 1}
    orders = map(dict, itertools.permutations(counts.items()))
    outcomes = {(s, tuple(n)) for s, n in map(quorle.suggest, orders)}
    assert len(outcomes) == 1


# ---- pattern files ----

VALID_TABLES = [
    ({"n": ["[0-9]+"]}, [("n", ("[0-9]+",), (), {})]),
    ({"integer": ["[0-9]+"]}, [("integer", ("[0-9]+",), ("decimal",), {})]),
    ({"integer": {"patterns": ["[0-9]+"], "widens_to": []}}, [("integer", ("[0-9]+",), (), {})]),
    (
        {"d": {"patterns": ["a", "b"], "widens_to": ["text"], "sql": {"duckdb": "DOUBLE"}}},
        [("d", ("a", "b"), ("text",), {"duckdb": "DOUBLE"})],
    ),
    ({"z": ["z"], "a": ["a"], "m": ["m"]}, [("z",), ("a",), ("m",)]),
]


@pytest.mark.parametrize(("table", "expected"), VALID_TABLES)
def test_pattern_table_is_read_in_order(tmp_path, table, expected):
    path = tmp_path / "p.json"
    path.write_text(json.dumps(table), encoding="utf-8")
    loaded = quorle.load_patterns(path)
    assert loaded == quorle.parse_patterns(table)
    got = [(s.name, s.expressions, s.widens_to, dict(s.sql)) for s in loaded]
    assert [g[: len(e)] for g, e in zip(got, expected, strict=True)] == expected
    assert loaded.names() == list(table)


BAD_TABLES = [
    ('["[0-9]+"]', ["expected an object"]),
    ('{"a": [', ["p.json"]),
    ('{"n": "[0-9]+"}', ["'n'", "list of expressions"]),
    ('{"n": [1]}', ["'n'", "list of strings"]),
    ('{"ok": ["[0-9]+"], "bad": ["x", "(ab"]}', ["'bad'", "'(ab'", "does not compile"]),
    ('{"NA": ["x"]}', ["'NA'", "reserved"]),
    ('{"other": ["x"]}', ["reserved"]),
    ('{"": ["x"]}', ["non-empty"]),
    ('{"n": {"patterns": ["x"], "widen": []}}', ["'n'", "unknown keys"]),
    ('{"n": {"patterns": ["x"], "sql": {"duckdb": 1}}}', ["'n'", "sql"]),
    ('{"n": {"widens_to": ["x"]}}', ["'n'", "patterns"]),
    ('{"d": {"formats": "%d/%m/%Y"}}', ["'d'", "formats must be a list"]),
    ('{"d": {"formats": ["%d/%m"]}}', ["'d'", "%d/%m", "year"]),
    ('{"d": {"formats": [{"pattern": "%d/%m/%y"}]}}', ["'d'", "pivot_year"]),
    ('{"m": {"formats": [{"decimal_mark": ",", "thousands": "."}]}}', ["'m'", '"thousands"']),
    ('{"b": {"formats": [{"true": ["oui"], "false": ["OUI"]}]}}', ["'b'", "oui"]),
    ('{"d": {"formats": ["%d/%m/%Y", {"pattern": "%d/%m/%Y"}]}}', ["'d'", "share a name"]),
    ('{"d": {"formats": [{"pattern": "%d.%m.%Y", "name": ""}]}}', ["'d'", "name"]),
]


@pytest.mark.parametrize(("text", "words"), BAD_TABLES)
def test_bad_pattern_file_names_path_type_and_expression(tmp_path, text, words):
    path = tmp_path / "p.json"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError) as caught:
        quorle.load_patterns(path)
    message = str(caught.value)
    assert str(path) in message
    for word in words:
        assert word in message


def test_default_table_is_the_shipped_file():
    assert DEFAULT_PATTERNS_PATH.is_file()
    assert quorle.DEFAULT_PATTERNS["integer"].widens_to == ("decimal",)
    assert quorle.DEFAULT_PATTERNS["decimal"].widens_to == ("scientific",)


# ---- hygiene ----

SNIFF_CASES = [
    (b"a,b,c\n1,2,3\n", ","),
    (b"a;b;c\n1,5;2,5;3\n4;5;6\n", ";"),
    (b"a\tb\n1\t2\n", "\t"),
    (b"a|b\n1|2\n", "|"),
    (b'"x;y",b\n1,2\n', ","),
    (b"name;note\nx;a, b, c\ny;d\n", ";"),
    (b"single\n1\n2\n", ","),
    (b"", ","),
    (b"\xef\xbb\xbfa;b\n1;2\n", ";"),
    (b"a;b\r\n\xff\xfe;2\r\n", ";"),
    # The space only where it splits every row alike: not prose in a one-column file, and not
    # a file another delimiter splits evenly.
    (b"id name score\n1 ada 3\n2 bob 4\n", " "),
    (b"note\nsome words here\nmore\n", ","),
    (b"a,b b\n1,x y\n2,z w\n", ","),
    # A sample cut mid-row: the partial last row does not count against ";".
    (b"a;b\n" + b"1;2\n" * 20000 + b"1", ";"),
]


@pytest.mark.parametrize(("raw", "expected"), SNIFF_CASES)
def test_sniffed_delimiter(raw, expected):
    head = sources.read_head(io.BytesIO(raw).read, sources.SNIFF_BYTES, None, "f.csv")
    sample = sources.sample_text(head)
    assert hygiene.choose_delimiter(sample, head.complete, hygiene.AUTO) == expected


@pytest.mark.parametrize("delimiter", ['"', "\r", "\n", "é", "", ";;", "\u20ac"])
def test_refused_delimiters(write_csv, delimiter):
    path = write_csv(raw=b"a,b\n1,2\n")
    with pytest.raises(ValueError, match="delimiter"):
        quorle.infer(path, delimiter=delimiter)


INPUT_CASES = [
    # file text, infer keywords, column names, warnings (fragments, in order)
    (b"\xef\xbb\xbfid,name\n1,x\n", {}, ["id", "name"], []),
    (b"a,b,a\n1,x,2\n", {}, ["a", "b", "a"], ["'a' appears at positions 1, 3"]),
    (
        b"a,b,c\n1,2,3\n1\n1,2,3,4\n1,2\n",
        {},
        ["a", "b", "c"],
        ["2 rows shorter than the header (3 fields)", "1 row longer than the header"],
    ),
    (b"a;b;c\n1;2;3\n", {"delimiter": ","}, ["a;b;c"], ["contains ';'"]),
    (
        b"station date temperature pressure humidity\n1 2 3 4 5\n",
        {"delimiter": ","},
        ["station date temperature pressure humidity"],
        ["a first line of 42 characters"],
    ),
    (b"customer name\nAda Lovelace\n", {"delimiter": ","}, ["customer name"], []),
    (b"zeta,alpha,mu,beta,kappa\n1,2,3,4,5\n", {}, ["zeta", "alpha", "mu", "beta", "kappa"], []),
    (b"", {}, [], []),
]


@pytest.mark.parametrize(("raw", "kwargs", "names", "warnings"), INPUT_CASES)
def test_header_and_row_hygiene(write_csv, raw, kwargs, names, warnings):
    result = quorle.infer(write_csv(raw=raw), **kwargs)
    assert [c.name for c in result.columns] == names
    text = "\n".join(result.warnings)
    for fragment in warnings:
        assert fragment in text, text
    assert len(result.warnings) == len(warnings)


@pytest.mark.parametrize(
    ("table", "priority", "fragments"),
    [
        (None, False, []),
        ({"a": ["[0-9]+"], "b": ["[0-9]"], "c": ["x"]}, False, ["types 'a' and 'b' can match"]),
        ({"a": ["[0-9]+"], "b": ["[0-9]"]}, True, []),
        ({"a": ["[0-9]+"], "b": ["[0-9]*[.][0-9]+"]}, False, []),
        ({"a": ["([a-z])\\1"], "b": ["[0-9]"]}, False, ["could not decide"]),
    ],
)
def test_overlapping_types_are_named(write_csv, table, priority, fragments):
    result = quorle.infer(write_csv(raw=b"v\n1\n"), patterns=table, priority=priority)
    assert len(result.warnings) == len(fragments)
    for warning, fragment in zip(result.warnings, fragments, strict=True):
        assert fragment in warning


def test_short_rows_and_longest_fields_per_column(write_csv):
    result = quorle.infer(write_csv(raw=b"a,b,c\n1,22,333\n4444\n,\n5,6,7,8\n"))
    assert [c.short_rows for c in result.columns] == [0, 1, 2]
    assert [c.max_length for c in result.columns] == [4, 2, 3]
    assert all(c.examples is None for c in result.columns)


def test_input_errors_name_the_path(tmp_path):
    missing = tmp_path / "missing.csv"
    with pytest.raises(FileNotFoundError) as caught:
        quorle.infer(missing)
    assert caught.value.filename == str(missing)
    with pytest.raises(IsADirectoryError) as caught:
        quorle.infer(tmp_path)
    assert caught.value.filename == str(tmp_path)
    latin1 = tmp_path / "latin1.csv"
    latin1.write_bytes(b"caf\xe9,b\n1,2\n")
    with pytest.raises(ValueError, match=f"{latin1}: the header is not valid UTF-8"):
        quorle.infer(latin1)


@pytest.mark.parametrize("window", [-1, 2**31, 1.5, True])
def test_bad_window_is_refused(write_csv, window):
    with pytest.raises(ValueError, match="window"):
        quorle.infer(write_csv(raw=b"a\n1\n"), window=window)


# ---- what infer reports ----


def test_mixed_numbers_suggest_decimal_with_a_note(write_csv):
    rows = [f"{i % 10}" if i % 40 else f"{i % 10}.5" for i in range(2000)]
    result = quorle.infer(write_csv(raw="visib\n" + "\n".join(rows) + "\n"))
    (column,) = result.columns
    assert column.counts["integer"] == 1950
    assert column.counts["decimal"] == 50
    assert column.suggested == "decimal"
    assert column.notes and column.notes[0].startswith("mixed")


def test_counts_follow_the_table_order_and_options_reach_the_engine(write_csv, tmp_path):
    path = write_csv(raw=b"a,b\n1,x\n?,2\n3,?\n")
    types_file = tmp_path / "types.csv"
    table = {"word": ["[a-z]+"], "n": ["[0-9]+"]}
    result = quorle.infer(
        pathlib.Path(path), patterns=table, na_values=["?"], window=1, types_file=types_file
    )
    assert result.path == path
    assert result.rows == 3
    assert [list(c.counts) for c in result.columns] == [["word", "n", "other", "NA"]] * 2
    assert result.columns[0].counts == {"word": 0, "n": 2, "other": 0, "NA": 1}
    assert result.columns[1].counts == {"word": 1, "n": 1, "other": 0, "NA": 1}
    assert types_file.read_text().splitlines() == ["a,b", "n,word", "NA,n", "n,NA"]


def test_default_missing_values(write_csv):
    missing = sorted(quorle.DEFAULT_NA_VALUES)
    raw = "x,y\n" + "".join(f'"{m}",1\n' for m in missing)
    result = quorle.infer(write_csv(raw=raw))
    assert result.columns[0].counts["NA"] == len(missing)
    assert result.columns[0].suggested == "empty"


def test_examples_of_the_kinds_that_are_not_the_suggestion(write_csv):
    raw = b"n\n" + b"".join(b"%d\n" % i for i in range(50)) + b"abc\n\xff\nabc\nx\ny\nNA\n"
    result = quorle.infer(write_csv(raw=raw), extras=True)
    (column,) = result.columns
    assert column.suggested == "text"
    assert column.examples == {"integer": ["0", "1", "2"], "other": ["abc", "\\xff", "x"]}
    assert quorle.infer(write_csv(raw=b"n\n1\n"), extras=True).columns[0].examples == {}


def test_to_dict_is_the_json_shape(write_csv):
    result = quorle.infer(write_csv(raw=b"a,b\n1,x\n2\n"), extras=True)
    data = json.loads(json.dumps(result.to_dict()))
    assert set(data) == {
        *("path", "delimiter", "rows", "columns", "warnings", "encoding", "compression"),
        *("quirks", "reading", "warning_details"),
    }
    assert data["reading"] == {
        "header": True,
        "skip_lines": 0,
        "comment": None,
        "skip_blank_lines": True,
    }
    assert data["quirks"]["line_ends"] == {"lf": 3, "crlf": 0, "cr": 0}
    assert (data["encoding"], data["compression"]) == ("utf-8", "plain")
    assert data["rows"] == 2
    assert data["columns"][1] == {
        "name": "b",
        "counts": dict(result.columns[1].counts),
        "suggested": "text",
        "notes": [],
        "max_length": 1,
        "short_rows": 1,
        "examples": {"other": ["x"]},
        "na_spellings": {},
        "invalid_utf8": 0,
        "fits_double": True,
        "fits_int64": True,
        "untitled": False,
        "int_digits": 0,
        "frac_digits": 0,
        "formats": None,
        "format": None,
        "verdict": None,
        "decided_at_line": None,
    }
