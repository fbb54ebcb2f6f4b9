"""How examples and tallies of ranges and files combine: the rules every merge shares."""

from __future__ import annotations

import pytest

from quorle.inference.tallies import add_counts, by_position, merge_examples

A, B = {"integer": ["1", "2"], "NA": ["NA"]}, {"integer": ["2", "3", "4"], "other": ["x"]}


@pytest.mark.parametrize(
    ("parts", "limit", "merged"),
    [
        # Distinct texts in the parts' order; each type where it is first seen.
        ([A, B], None, {"integer": ["1", "2", "3"], "NA": ["NA"], "other": ["x"]}),
        ([B, A], None, {"integer": ["2", "3", "4"], "other": ["x"], "NA": ["NA"]}),
        # A limit cuts what the fullest part would allow.
        ([A, B], 2, {"integer": ["1", "2"], "NA": ["NA"], "other": ["x"]}),
        ([A, B], 5, {"integer": ["1", "2", "3", "4"], "NA": ["NA"], "other": ["x"]}),
        ([A], None, A),
        ([], None, {}),
        ([{}, A, {}], 1, {"integer": ["1"], "NA": ["NA"]}),
    ],
)
def test_examples_merge_in_order_without_repeats(parts, limit, merged):
    got = merge_examples(iter(parts), limit)
    assert got == merged and list(got) == list(merged)


def test_per_position_merge_reaches_the_widest_and_the_given_width():
    lists = [[{"a": 1}], [{"a": 2}, {"b": 1}]]
    assert by_position(add_counts, lists, 3) == [{"a": 3}, {"b": 1}, {}]
