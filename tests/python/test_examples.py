"""The demo script, its pattern table and its sample data."""

from __future__ import annotations

import importlib.util
import itertools
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorle_ext

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SCRIPT = EXAMPLES / "infer_types.py"
PATTERNS = json.loads((EXAMPLES / "patterns.json").read_text(encoding="utf-8"))


def load_script():
    found = importlib.util.spec_from_file_location("infer_types", SCRIPT)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


infer_types = load_script()

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
    ("1e5", "decimal"),
    ("1E-5", "decimal"),
    ("+2.5e+10", "decimal"),
    ("0e0", "decimal"),
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
    ("2024-01-15T10:30:00.123Z", "datetime"),
    ("2024-01-15T23:59:59+05:30", "datetime"),
    ("2024-01-15T00:00:00-0800", "datetime"),
    ("2024-02-29T12:00:00Z", "datetime"),
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
REQUIRED_TYPES = {"integer", "decimal", "boolean", "date", "datetime", "time", "code"}


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


def run_script(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(SCRIPT), *args], capture_output=True, text=True, cwd=cwd, timeout=120
    )


def suggestions(stdout: str) -> dict[str, tuple[str, str]]:
    """Column name -> (suggested type, rest of the line) from the script's table."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:2] == ["column", "suggested"])
    table = {}
    for line in lines[start + 1 :]:
        name, suggested, *rest = line.split()
        table[name] = (suggested, " ".join(rest))
    return table


def test_pattern_table_has_the_required_types():
    assert REQUIRED_TYPES <= set(PATTERNS)
    assert all(sources and isinstance(sources, list) for sources in PATTERNS.values())


def test_every_labelled_type_is_a_pattern_type():
    assert set(INTENDED.values()) <= set(PATTERNS) | {"other"}
    assert set(INTENDED.values()) >= REQUIRED_TYPES


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
    claimed = {text for text, t in zip(TEXTS, got) if t == type_name}
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


SAMPLE_EXPECTED = {
    "order_id": "integer",
    "customer": "other",
    "zip": "code",
    "amount": "decimal",
    "quantity": "integer",
    "paid": "boolean",
    "order_date": "date",
    "shipped_at": "datetime",
    "pickup_time": "time",
    "status": "other",
    "coupon": "other",
    "fax": "empty",
}


def test_script_on_the_sample():
    result = run_script(str(EXAMPLES / "data" / "sample.csv"))
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    header = result.stdout.splitlines()[0]
    assert "sample.csv" in header
    assert "40 data rows" in header
    assert "12 columns" in header
    table = suggestions(result.stdout)
    assert {name: t for name, (t, _) in table.items()} == SAMPLE_EXPECTED
    assert "mixed" in table["quantity"][1]
    assert "mostly missing" in table["coupon"][1]
    assert "NA 8" in table["shipped_at"][1]
    notes = {name: rest for name, (t, rest) in table.items() if name not in ("quantity", "coupon")}
    assert not any("mixed" in rest or "mostly missing" in rest for rest in notes.values())


def test_script_on_the_semicolon_sample():
    result = run_script(str(EXAMPLES / "data" / "sensors.csv"), "--delimiter", ";")
    assert result.returncode == 0, result.stderr
    table = {name: t for name, (t, _) in suggestions(result.stdout).items()}
    assert table == {
        "station": "other",
        "recorded_at": "datetime",
        "temp_c": "decimal",
        "humidity_pct": "integer",
        "battery_ok": "boolean",
        "firmware": "code",
        "note": "other",
    }


def test_script_options_reach_the_engine(tmp_path):
    csv_path = write_csv(tmp_path / "t.csv", ["a", "b"], [["1", "x"], ["?", "2"], ["3", "?"]])
    types_path = tmp_path / "out.types"
    args = [str(csv_path), "--types-file", str(types_path), "--window", "1", "--na", "?"]
    for extra in ([], ["--parallel"]):
        result = run_script(*args, *extra)
        assert result.returncode == 0, result.stderr
        table = suggestions(result.stdout)
        assert table["a"][0] == "integer"
        assert "integer 2, NA 1" in table["a"][1]
        assert table["b"] == (
            "integer",
            "NA 1, integer 1, other 1 mixed: integer is 50% of non-missing",
        )
        assert types_path.read_text().splitlines() == [
            "a,b",
            "integer,other",
            "NA,integer",
            "integer,NA",
        ]


def test_script_default_na_values_are_missing(tmp_path):
    missing = ["", "NA", "N/A", "null", "NULL", "None", "-"]
    csv_path = write_csv(tmp_path / "t.csv", ["x", "y"], [[m, "1"] for m in missing])
    result = run_script(str(csv_path))
    assert result.returncode == 0, result.stderr
    table = suggestions(result.stdout)
    assert table["x"][0] == "empty"
    assert table["x"][1].startswith(f"NA {len(missing)}")


@pytest.mark.parametrize(
    ("counts", "expected_type", "note_words"),
    [
        ({"integer": 10, "decimal": 0, "other": 0, "NA": 0}, "integer", []),
        ({"integer": 95, "other": 5}, "integer", []),
        ({"integer": 94, "other": 6}, "integer", ["mixed", "94%"]),
        ({"decimal": 30, "integer": 60, "other": 10, "NA": 50}, "integer", ["mixed", "60%"]),
        ({"NA": 6, "other": 4}, "other", ["mostly missing", "60%"]),
        ({"NA": 5, "date": 5}, "date", []),
        ({"NA": 90, "date": 10}, "date", ["mostly missing", "90%"]),
        ({"NA": 9, "time": 1, "other": 1}, "time", ["mixed", "50%", "mostly missing", "81.8%"]),
        ({"NA": 3, "integer": 0, "other": 0}, "empty", ["all 3"]),
        ({"integer": 0, "other": 0, "NA": 0}, "empty", ["no data"]),
        ({}, "empty", ["no data"]),
        ({"integer": 5, "other": 5}, "integer", ["mixed", "50%"]),
        ({"other": 5, "code": 5}, "code", ["mixed"]),
    ],
)
def test_suggest_type(counts, expected_type, note_words):
    suggestion = infer_types.suggest_type(counts)
    assert suggestion.type == expected_type
    note = "; ".join(suggestion.notes)
    for word in note_words:
        assert word in note
    if not note_words:
        assert note == ""


def test_suggest_type_ties_do_not_depend_on_count_order():
    counts = {"integer": 4, "decimal": 4, "code": 4, "other": 4, "NA": 1}
    results = {
        infer_types.suggest_type(dict(order)).type
        for order in itertools.permutations(counts.items())
    }
    assert results == {"code"}


def test_suggest_type_shares():
    suggestion = infer_types.suggest_type({"integer": 3, "other": 1, "NA": 4})
    assert suggestion.share == pytest.approx(0.75)
    assert suggestion.missing == pytest.approx(0.5)


def test_suggest_type_share_just_under_threshold_is_not_shown_as_threshold():
    suggestion = infer_types.suggest_type({"integer": 1899, "other": 101})
    assert "94.9%" in suggestion.notes[0]


def write_patterns(tmp_path: Path, text: str) -> Path:
    path = tmp_path / "patterns.json"
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize(
    ("make_args", "message_words"),
    [
        (lambda d, sample: [str(d / "missing.csv")], ["no such file", "missing.csv"]),
        (lambda d, sample: [str(d)], ["not a regular file"]),
        (
            lambda d, sample: [sample, "--patterns", str(d / "none.json")],
            ["cannot read pattern file"],
        ),
        (
            lambda d, sample: [sample, "--patterns", str(write_patterns(d, '{"a": ['))],
            ["not valid JSON"],
        ),
        (
            lambda d, sample: [sample, "--patterns", str(write_patterns(d, '["[0-9]+"]'))],
            ["expected an object"],
        ),
        (
            lambda d, sample: [sample, "--patterns", str(write_patterns(d, '{"n": "[0-9]+"}'))],
            ["'n'", "list of strings"],
        ),
        (
            lambda d, sample: [
                sample,
                "--patterns",
                str(write_patterns(d, '{"ok": ["[0-9]+"], "bad": ["x", "(ab"]}')),
            ],
            ["'bad'", "'(ab'", "does not compile"],
        ),
        (
            lambda d, sample: [sample, "--patterns", str(write_patterns(d, '{"NA": ["x"]}'))],
            ["reserved"],
        ),
        (
            lambda d, sample: [sample, "--types-file", str(d / "no" / "such" / "dir.txt")],
            ["no such directory"],
        ),
    ],
)
def test_script_errors_are_one_line_with_status_2(tmp_path, make_args, message_words):
    sample = str(write_csv(tmp_path / "ok.csv", ["a"], [["1"]]))
    result = run_script(*make_args(tmp_path, sample))
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1
    assert result.stderr.startswith("infer_types.py: error: ")
    assert "Traceback" not in result.stderr
    for word in message_words:
        assert word in result.stderr


@pytest.mark.parametrize(
    "args", [["--delimiter", ";;"], ["--delimiter", ""], ["--window", "-1"], ["--window", "x"]]
)
def test_script_rejects_bad_options(tmp_path, args):
    sample = str(write_csv(tmp_path / "ok.csv", ["a"], [["1"]]))
    result = run_script(sample, *args)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
