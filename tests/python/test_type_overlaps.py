"""Inf._type_overlaps: which pairs of types can match one text."""

import itertools
import random
import re

import pytest

CASES = [
    ("disjoint", {"int": ["-?[0-9]+"], "word": ["[a-z]+"], "code": ["#[0-9]{3}"]}, []),
    ("contained", {"int": ["[0-9]+"], "num": ["[0-9]+([.][0-9]+)?"]}, [("int", "num")]),
    (
        "through a second expression",
        {"b": ["x", "1[0-9]*"], "a": ["y", "[0-9]{3}"], "c": ["z"]},
        [("a", "b")],
    ),
    ("empty text", {"empty": [""], "star": ["q*"], "none": []}, [("empty", "star")]),
    ("left to Boost", {"int": ["[0-9]+"], "anchored": ["^x$"]}, None),
]


@pytest.mark.parametrize("patterns,expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_overlaps_of_the_current_table(make_inf, patterns, expected):
    inf = make_inf(col_type_patterns={"other": ["-"]})
    inf.set_col_type_patterns(patterns)
    assert inf._type_overlaps() == expected


@pytest.mark.parametrize(
    "patterns,expected", [c[1:] for c in CASES[:4]], ids=[c[0] for c in CASES[:4]]
)
def test_sampled_texts_never_contradict(make_inf, patterns, expected):
    inf = make_inf(col_type_patterns=patterns)
    reported = set(inf._type_overlaps())
    compiled = {t: [re.compile(s, re.DOTALL) for s in src] for t, src in patterns.items()}
    rng = random.Random(3)
    for _ in range(5000):
        text = "".join(rng.choice("0123456789.#qxyz") for _ in range(rng.randrange(5)))
        matching = sorted(t for t, res in compiled.items() if any(r.fullmatch(text) for r in res))
        for pair in itertools.combinations(matching, 2):
            assert pair in reported, (text, pair)
