"""The default pattern table shipped with the package, and the API example."""

from __future__ import annotations

import itertools
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorle
import quorle_ext

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "infer_types.py"
SAMPLE = EXAMPLE.parent / "data" / "sample.csv"
PATTERNS = quorle.DEFAULT_PATTERNS.sources()

# Each text with the type it was meant to get; "other" means no type may claim it.
LABELLED_TEXTS = [
    ("0", "integer"),
    ("7", "integer"),
    ("42", "integer"),
    ("-0", "integer"),
    ("+1", "integer"),
    ("-12345678901234567890", "integer"),
    ("007", "code"),
    ("00", "code"),
    ("00501", "code"),
    ("0123456789", "code"),
    ("-007", "other"),
    ("+00", "other"),
    ("0.0", "decimal"),
    ("3.14", "decimal"),
    ("-0.5", "decimal"),
    (".5", "decimal"),
    ("-.25", "decimal"),
    ("1e5", "scientific"),
    ("1E-5", "scientific"),
    ("+2.5e+10", "scientific"),
    ("0e0", "scientific"),
    ("5.", "other"),
    ("00.5", "other"),
    ("1e", "other"),
    ("e5", "other"),
    ("1.2.3", "other"),
    ("1,000", "other"),
    (" 1", "other"),
    ("1 ", "other"),
    ("true", "boolean"),
    ("False", "boolean"),
    ("TRUE", "boolean"),
    ("yes", "boolean"),
    ("NO", "boolean"),
    ("tRUE", "other"),
    ("t", "other"),
    ("Y", "other"),
    ("2024-01-31", "date"),
    ("2024-02-29", "date"),
    ("2000-02-29", "date"),
    ("1999-12-31", "date"),
    ("2024-04-30", "date"),
    ("2024-02-30", "other"),
    ("2023-02-29", "other"),
    ("1900-02-29", "other"),
    ("2024-04-31", "other"),
    ("2024-13-01", "other"),
    ("2024-1-5", "other"),
    ("20240115", "integer"),
    ("2024-01-15T10:30:00", "datetime"),
    ("2024-01-15 10:30", "datetime"),
    ("2024-01-15T10:30:00.123Z", "datetimetz"),
    ("2024-01-15T23:59:59+05:30", "datetimetz"),
    ("2024-01-15T00:00:00-0800", "datetimetz"),
    ("2024-02-29T12:00:00Z", "datetimetz"),
    ("2024-01-15 10:30:00.123456+02", "datetimetz"),
    ("2024-01-15T10:30:00.123456", "datetime"),
    # Beyond the microsecond, or an offset without seconds: no database type
    # would keep it as written.
    ("2024-01-15T10:30:00.1234567", "other"),
    ("2024-01-15T10:30:00.1234567Z", "other"),
    ("2024-01-15T10:30Z", "other"),
    ("12:00:00.1234567", "other"),
    ("2024-01-15T24:00:00", "other"),
    ("2024-01-15t10:30:00", "other"),
    ("2023-02-29 12:00", "other"),
    ("2024-01-15T10:30:00 UTC", "other"),
    ("00:00", "time"),
    ("09:30", "time"),
    ("23:59:59", "time"),
    ("12:00:00.5", "time"),
    ("24:00", "other"),
    ("9:30", "other"),
    ("12:60", "other"),
    ("12:30:61", "other"),
    ("", "other"),
    ("NA", "other"),
    ("hello", "other"),
]
TEXTS = [text for text, _ in LABELLED_TEXTS]
INTENDED = dict(LABELLED_TEXTS)
# In the shipped file's order.
REQUIRED_TYPES = [
    "integer",
    "decimal",
    "scientific",
    "boolean",
    "date",
    "datetime",
    "datetimetz",
    "time",
    "code",
]


def write_csv(path: Path, header: list[str], rows: list[list[str]], delimiter: str = ",") -> Path:
    def cell(text: str) -> str:
        if any(ch in text for ch in f'"{delimiter}\r\n'):
            return '"' + text.replace('"', '""') + '"'
        return text

    lines = [delimiter.join(cell(t) for t in row) for row in [header, *rows]]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def run_pass(csv_path: Path, patterns: dict, na_values=(), parallel=False, window=1):
    """One pass with a types file; returns the counts and each data row's type names."""
    types_path = csv_path.with_suffix(".types")
    inf = quorle_ext.Inf(
        str(csv_path), ",", patterns, set(na_values), parallel, True, str(types_path), window
    )
    inf.infer_types()
    lines = types_path.read_text(encoding="utf-8").splitlines()
    return inf.get_col_type_candidates(), [line.split(",") for line in lines[1:]]


def classify_column(tmp_path: Path, texts: list[str], patterns: dict, **kwargs) -> list[str]:
    """Classify each text as one field of a one-column file."""
    csv_path = write_csv(tmp_path / "texts.csv", ["value"], [[t] for t in texts])
    _, rows = run_pass(csv_path, patterns, **kwargs)
    assert len(rows) == len(texts)
    return [row[0] for row in rows]


def test_pattern_table_has_the_required_types():
    assert quorle.DEFAULT_PATTERNS.names() == REQUIRED_TYPES
    assert set(REQUIRED_TYPES) <= set(PATTERNS)
    assert all(sources and isinstance(sources, list) for sources in PATTERNS.values())


def test_every_labelled_type_is_a_pattern_type():
    assert set(INTENDED.values()) <= set(PATTERNS) | {"other"}
    assert set(INTENDED.values()) >= set(REQUIRED_TYPES)


@pytest.mark.parametrize(("text", "intended"), LABELLED_TEXTS)
def test_python_regex_gives_exactly_the_intended_type(text, intended):
    matching = [
        name
        for name, sources in PATTERNS.items()
        if any(re.fullmatch(source, text) for source in sources)
    ]
    assert matching == ([] if intended == "other" else [intended])


@pytest.mark.parametrize("type_name", sorted(PATTERNS))
def test_engine_single_type_claims_exactly_its_texts(tmp_path, type_name):
    got = classify_column(tmp_path, TEXTS, {type_name: PATTERNS[type_name]})
    claimed = {text for text, t in zip(TEXTS, got, strict=True) if t == type_name}
    assert claimed == {text for text, t in LABELLED_TEXTS if t == type_name}
    assert set(got) <= {type_name, "other"}


PAIRS = list(itertools.combinations(sorted(PATTERNS), 2))


@pytest.mark.parametrize("pair", PAIRS, ids=["-".join(pair) for pair in PAIRS])
def test_engine_pair_of_types_agrees_with_single_matches(tmp_path, pair):
    table = {name: PATTERNS[name] for name in pair}
    expected = [INTENDED[t] if INTENDED[t] in pair else "other" for t in TEXTS]
    # Reversing the file changes which type each search meets first.
    assert classify_column(tmp_path, TEXTS, table) == expected
    assert classify_column(tmp_path, TEXTS[::-1], table) == expected[::-1]


@pytest.mark.parametrize("parallel", [False, True])
def test_engine_full_table_gives_intended_types_in_any_order(tmp_path, parallel):
    for texts in (TEXTS, TEXTS[::-1], sorted(TEXTS)):
        got = classify_column(tmp_path, texts, PATTERNS, parallel=parallel, window=100000)
        assert got == [INTENDED[t] for t in texts]


def test_api_example_on_the_sample():
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), str(SAMPLE)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    expected = quorle.infer(SAMPLE)
    lines = result.stdout.splitlines()
    assert f"{expected.rows} data rows" in lines[0]
    rows = [line.split()[:2] for line in lines[1:] if not line.startswith(" ")]
    assert rows == [[c.name, c.suggested] for c in expected.columns]
