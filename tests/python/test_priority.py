"""Priority: overlapping types resolved by table order, whatever the engine's trial order."""

from __future__ import annotations

import csv
import itertools
import json
import pathlib
import random
import re
import subprocess
import sys

import pytest

import quorle
import quorle_ext
from quorle.inference.patterns import parse_patterns
from quorle.inference.priority import exclusive, guarded

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite
NESTED = {"integer": ["-?[0-9]+"], "number": ["-?[0-9]+(\\.[0-9]+)?"], "text": [".+"]}
NA_VALUES = {"", "NA"}
TEXTS = ["1", "-22", "3.5", "-0.25", "x", "1a", "NA", "", "007", "4.", "1\n", "2.5\n"]


def reference_type(text, table):
    """The first type of the table whose expression matches the whole text."""
    if text in NA_VALUES:
        return "NA"
    for name, expressions in table.items():
        if any(re.fullmatch(e, text, re.DOTALL) for e in expressions):
            return name
    return "other"


def shared_text_rows(seed, columns=4, rows=60):
    """Rows in which the same texts recur across columns, so that the value
    cache and each column's trial order carry one column's luck into another."""
    rng = random.Random(seed)
    return [[rng.choice(TEXTS) for _ in range(columns)] for _ in range(rows)]


def write(tmp_path, rows, name="data.csv"):
    path = tmp_path / name
    with open(path, "w", newline="") as f:
        writer = csv.writer(f, lineterminator="\n", quoting=csv.QUOTE_NONNUMERIC)
        writer.writerow([f"c{i}" for i in range(len(rows[0]))])
        writer.writerows(rows)
    return str(path)


def expected_counts(rows, table):
    out = {}
    for i in range(len(rows[0])):
        counts = dict.fromkeys([*table, "other", "NA"], 0)
        for row in rows:
            counts[reference_type(row[i], table)] += 1
        out[f"c{i}"] = counts
    return out


def engine_counts(path, sources, window, parallel):
    inf = quorle_ext.Inf(path, ",", sources, NA_VALUES, parallel, False, "", window)
    inf.infer_types()
    return inf.get_col_type_candidates()


def engine_overlaps(table):
    return quorle_ext.Inf("", ",", table.sources(), set(), False, False, "", 1)._type_overlaps()


@pytest.mark.parametrize("seed, pruned", [(1, False), (2, False), (3, True), (4, True)])
def test_rewritten_table_counts_match_table_order_in_any_trial_order(tmp_path, seed, pruned):
    rows = shared_text_rows(seed)
    path = write(tmp_path, rows)
    table = parse_patterns(NESTED)
    rewritten = exclusive(table, engine_overlaps(table) if pruned else None).sources()
    want = expected_counts(rows, NESTED)
    # Every order the engine may be handed the types in, and cache windows that
    # empty the value cache at different rows.
    for order in itertools.permutations(rewritten):
        sources = {name: rewritten[name] for name in order}
        for window, parallel in [(0, False), (1, False), (7, False), (0, True)]:
            assert engine_counts(path, sources, window, parallel) == want, (order, window)


def test_the_data_is_order_sensitive_without_priority(tmp_path):
    # Without the rewrite the same files give order-dependent counts: what the
    # test above would see if the rewrite did nothing.
    rows = shared_text_rows(1)
    path = write(tmp_path, rows)
    results = {
        json.dumps(engine_counts(path, {n: NESTED[n] for n in order}, 0, False), sort_keys=True)
        for order in itertools.permutations(NESTED)
    }
    assert len(results) > 1


@pytest.mark.parametrize(
    "table",
    [
        NESTED,
        {"text": [".+"], "integer": ["-?[0-9]+"]},
        {"number": NESTED["number"], **NESTED},
        {"integer": ["-?[0-9]+"], "word": ["[a-z]+"], "text": [".+"]},
    ],
    ids=["nested", "text-first", "number-first", "disjoint-then-text"],
)
def test_infer_with_priority_gives_the_first_listed_type(tmp_path, table):
    rows = shared_text_rows(4)
    path = write(tmp_path, rows)
    result = quorle.infer(path, patterns=table, na_values=NA_VALUES, priority=True)
    want = expected_counts(rows, table)
    assert {c.name: c.counts for c in result.columns} == want
    assert not any("can match the same text" in w for w in result.warnings)


def test_neighbouring_columns_do_not_change_a_column(tmp_path):
    rows = shared_text_rows(5)
    alone = [[row[0]] for row in rows]
    both = quorle.infer(write(tmp_path, rows), patterns=NESTED, priority=True)
    single = quorle.infer(write(tmp_path, alone, "alone.csv"), patterns=NESTED, priority=True)
    assert both.columns[0].counts == single.columns[0].counts


@pytest.mark.parametrize(
    "expression, combined_with, refused",
    [
        ("(a)\\1", ["b"], True),
        ("a", ["(b)\\1"], True),
        ("(?<n>a)\\k<n>", ["b"], True),
        ("\\Q\\1\\E", ["b"], False),
        ("\\\\1", ["b"], False),
        ("(a)\\1", [], False),
    ],
)
def test_back_references_are_refused_only_where_groups_would_shift(
    expression, combined_with, refused
):
    table = {f"t{i}": [e] for i, e in enumerate(combined_with)}
    table["last"] = [expression]
    if refused:
        with pytest.raises(ValueError, match="back-reference"):
            exclusive(parse_patterns(table))
    else:
        exclusive(parse_patterns(table))


def test_first_type_is_unchanged_and_guards_use_end_of_text():
    rewritten = exclusive(parse_patterns(NESTED))
    assert rewritten["integer"].expressions == tuple(NESTED["integer"])
    assert rewritten["number"].expressions == (guarded(NESTED["number"][0], NESTED["integer"]),)
    assert all(e.endswith("\\z") for e in rewritten["text"].expressions)


def test_guards_name_only_the_earlier_types_that_overlap():
    table = parse_patterns({"integer": ["-?[0-9]+"], "word": ["[a-z]+"], "text": [".+"]})
    rewritten = exclusive(table, engine_overlaps(table))
    assert rewritten["word"].expressions == ("[a-z]+",)
    assert rewritten["text"].expressions == (guarded(".+", ["-?[0-9]+", "[a-z]+"]),)


def run_infer(*args):
    return subprocess.run(
        [str(QUORLE), "infer", *args], capture_output=True, text=True, timeout=HANG_GUARD
    )


def test_command_warns_about_overlaps_unless_priority(tmp_path):
    path = write(tmp_path, shared_text_rows(6))
    patterns = tmp_path / "nested.json"
    patterns.write_text(json.dumps(NESTED))
    plain = run_infer(path, "--patterns", str(patterns))
    assert plain.returncode == 0, plain.stderr
    assert "'integer' and 'number'" in plain.stderr
    ordered = run_infer(path, "--patterns", str(patterns), "--priority")
    assert ordered.returncode == 0, ordered.stderr
    assert "can match the same text" not in ordered.stderr
