"""How rows are read (lines skipped before the header, comment lines, no header, blank lines)
and the warnings about reading: each the same on one core, on threads, as byte ranges on an
executor, through a file object and among many files; the options checked once, in Python
and on the command line; the settings kept by a schema and read back by a load."""

import contextlib
import csv
import io
import json
import pathlib
import random
import sqlite3
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import quorle

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite

# Types that never match the same text, so that every file can be split.
PATTERNS = {
    "integer": [r"-?[0-9]+"],
    "decimal": [r"-?[0-9]+\.[0-9]+"],
    "name": [r"[A-Z][a-z]+"],
}
NA_VALUES = ["", "NA", "None"]
# Enough rows that the engine splits every file on threads: over its smallest split, four of
# its input blocks of 128 KiB.
ROWS = 40_000
ENGINE_SPLIT_MIN = 4 * 128 * 1024
HEADER = b"id,price,who\n"


def data_rows(seed, rows=ROWS, who=("Ann", "Bob", "x-1", "NA")):
    """`rows` lines of an integer, a decimal and a name (or text) column."""
    rng = random.Random(seed)
    return [
        f"{i},{rng.randint(0, 999)}.{rng.randint(0, 99):02d},{rng.choice(who)}\n".encode()
        for i in range(rows)
    ]


def interleave(lines, every, extra):
    """`extra` after every `every`-th line."""
    return b"".join(
        line + (extra if i % every == every - 1 else b"") for i, line in enumerate(lines)
    )


def counts(result, column):
    return {k: n for k, n in result.columns[column].counts.items() if n}


def expect_blank_lines(result):
    assert result.rows == ROWS
    assert result.quirks["blank_lines"] == ROWS // 97 + 1
    assert any(f"{ROWS // 97 + 1} blank lines skipped" in w for w in result.warnings)
    # No column grew short rows or missing values from the blank lines.
    assert all(c.short_rows == 0 for c in result.columns)
    assert counts(result, 0) == {"integer": ROWS}


def expect_preamble(result):
    assert [c.name for c in result.columns] == ["id", "price", "who"]
    assert result.rows == ROWS
    assert result.quirks["skipped_lines"] == 2
    assert result.reading["skip_lines"] == 2


def expect_comments(result):
    assert [c.name for c in result.columns] == ["id", "price", "who"]
    assert result.rows == ROWS
    assert result.quirks["comment_lines"] == ROWS // 500 + 1
    assert counts(result, 0) == {"integer": ROWS}


def expect_no_header(result):
    assert [c.name for c in result.columns] == ["column_1", "column_2", "column_3"]
    assert result.rows == ROWS  # the first line counted as data
    assert counts(result, 0) == {"integer": ROWS}
    assert not any("--no-header" in w for w in result.warnings)


def expect_header_like_data(result):
    assert [c.name for c in result.columns] == ["1999", "12.5", "Ann"]
    assert sum("--no-header" in w for w in result.warnings) == 1


def expect_missing_words(result):
    (warning,) = [w for w in result.warnings if "--na" in w]
    assert "'who'" in warning and "'None'" in warning and "'NA'" in warning
    # The spellings still counted as missing are offered, the words found are not.
    assert "--na '' --" in warning
    assert result.columns[2].na_spellings["None"] == sum(
        line.endswith(b",None\n") for line in WORDS
    )


def expect_not_utf8(result):
    (warning,) = [w for w in result.warnings if "UTF-8" in w]
    assert f"'who' {ROWS // 700}" in warning and "--encoding cp1252" in warning
    assert "'id'" not in warning


def expect_one_column_keeps_blank_lines(result):
    assert result.rows == ROWS + ROWS // 97 + 1
    assert result.columns[0].counts["NA"] == ROWS // 97 + 1
    assert result.reading["skip_blank_lines"] is False
    assert not any("blank line" in w for w in result.warnings)


LINES = data_rows(1)
WORDS = data_rows(2, who=("Ann", "Driver only", "None", "NA", ""))
# name -> (the file's bytes, options, what the report must say)
CASES = {
    "blank lines": (HEADER + interleave(LINES, 97, b"\n") + b"\n", {}, expect_blank_lines),
    "crlf blank lines": (
        (HEADER + interleave(LINES, 97, b"\n") + b"\n").replace(b"\n", b"\r\n"),
        {},
        expect_blank_lines,
    ),
    "preamble": (
        b'Quarterly "report\nexported 2024-01-02, by x\n' + HEADER + b"".join(LINES),
        {"skip_lines": 2},
        expect_preamble,
    ),
    "comments": (
        b"# exported\n" + HEADER + interleave(LINES, 500, b'# a note, "quoted\n'),
        {"comment": "#"},
        expect_comments,
    ),
    "no header": (b"".join(LINES), {"header": False}, expect_no_header),
    "header like data": (b"1999,12.5,Ann\n" + b"".join(LINES), {}, expect_header_like_data),
    "missing words": (HEADER + b"".join(WORDS), {}, expect_missing_words),
    "not utf-8": (
        HEADER + interleave(LINES, 700, b"9,1.5,Caf\xe9\n"),
        {},
        expect_not_utf8,
    ),
    "one column": (
        b"id\n" + interleave([b"%d\n" % (i * 10**9) for i in range(ROWS)], 97, b"\n") + b"\n",
        {},
        expect_one_column_keeps_blank_lines,
    ),
}


def spread_results(path, options):
    """The file's report read in every way, by the name of the way."""
    options = {"patterns": PATTERNS, "na_values": NA_VALUES, **options}
    with ThreadPoolExecutor(3) as pool:
        on_executor = quorle.infer(path, executor=pool, chunk_size="16kB", **options)
        many = quorle.infer_many([path, path], executor=pool, **options)
    with open(path, "rb") as f:
        stream = quorle.infer(io.BytesIO(f.read()), **options)
    return {
        "threads": quorle.infer(path, jobs=2, **options),
        "executor": on_executor,
        "many": many.files[0],
        "stream": stream,
    }, quorle.infer(path, jobs=1, **options)


def same_report(got, want):
    got, want = got.to_dict(), want.to_dict()
    del got["path"], want["path"]
    assert got == want


@pytest.mark.parametrize("case", CASES)
def test_reading_is_the_same_on_every_path(tmp_path, case):
    data, options, expect = CASES[case]
    assert len(data) > ENGINE_SPLIT_MIN
    path = tmp_path / "f.csv"
    path.write_bytes(data)
    spread, one_core = spread_results(str(path), options)
    expect(one_core)
    for how, result in spread.items():
        assert not any("read on one core" in w for w in result.warnings), how
        same_report(result, one_core)


@pytest.mark.parametrize(
    "data, options, rows, blank",
    [
        # Kept on request: a blank line is then a row of one empty field.
        (b"a,b\n1,2\n\n3,4\n", {"keep_blank_lines": True}, 3, False),
        (b"a,b\n1,2\n\n3,4\n", {}, 2, True),
        # Skipped on request in a one-column file.
        (b"a\n1\n\n3\n", {"keep_blank_lines": False}, 2, True),
        (b"a\n1\n\n3\n", {}, 3, False),
        # The width is that of the header past the preamble and comments, not of the title.
        (b"title\n#x,y\na,b\n1,2\n\n", {"skip_lines": 1, "comment": "#"}, 1, True),
        (b"t,i,t,l,e\na\n1\n\n", {"skip_lines": 1}, 2, False),
        # `""` is not blank.
        (b'a,b\n1,2\n""\n', {}, 2, True),
    ],
)
def test_blank_lines_by_the_header_width(tmp_path, data, options, rows, blank):
    path = tmp_path / "f.csv"
    path.write_bytes(data)
    result = quorle.infer(path, **options)
    assert result.rows == rows
    assert result.reading["skip_blank_lines"] is blank


def test_a_comment_mark_is_never_sniffed_as_the_delimiter(tmp_path):
    path = tmp_path / "f.csv"
    path.write_bytes(b";a;b\n;c;d\nx\n1\n")
    result = quorle.infer(path, comment=";")
    assert result.delimiter != ";"
    assert result.quirks["comment_lines"] == 2
    assert result.rows == 1


BAD_OPTIONS = [
    ({"skip_lines": -1}, "skip_lines"),
    ({"skip_lines": True}, "skip_lines"),
    ({"skip_lines": 1.5}, "skip_lines"),
    ({"comment": "##"}, "comment"),
    ({"comment": "é"}, "comment"),
    ({"comment": '"'}, "quote"),
    ({"comment": "\n"}, "line end"),
    ({"comment": ";", "delimiter": ";"}, "delimiter"),
    ({"header": "no"}, "header"),
    ({"keep_blank_lines": 1}, "keep_blank_lines"),
]


@pytest.mark.parametrize("options, words", BAD_OPTIONS)
@pytest.mark.parametrize("call", ["infer", "infer_many", "load"])
def test_bad_reading_options_raise_before_reading(tmp_path, options, words, call):
    missing = str(tmp_path / "not-there.csv")  # checked before any file is looked at
    with pytest.raises(ValueError, match=words):
        if call == "infer":
            quorle.infer(missing, **options)
        elif call == "infer_many":
            quorle.infer_many([missing], **options)
        else:
            quorle.load(missing, f"sqlite:///{tmp_path / 'db.sqlite'}", **options)
    assert not (tmp_path / "db.sqlite").exists()


COMMANDS = {
    "infer": ["infer"],
    "schema": ["schema", "--dialect", "json"],
    "load": ["load", "--into", "sqlite:///never.db"],
}


@pytest.mark.parametrize(
    "args, option",
    [
        (["--skip-lines", "-1"], "--skip-lines"),
        (["--skip-lines", "two"], "--skip-lines"),
        (["--comment", "##"], "--comment"),
        (["--comment", '"'], "--comment"),
        (["--comment", "é"], "--comment"),
        (["--comment", ",", "--delimiter", ","], "--comment"),
    ],
)
@pytest.mark.parametrize("command", COMMANDS)
def test_bad_reading_options_exit_2_naming_the_option(tmp_path, command, args, option):
    path = tmp_path / "f.csv"
    path.write_bytes(b"a,b\n1,2\n")
    done = subprocess.run(
        [str(QUORLE), *COMMANDS[command], *args, str(path)],
        capture_output=True, text=True, cwd=tmp_path, timeout=HANG_GUARD,
    )  # fmt: skip
    assert done.returncode == 2, done.stderr
    assert option in done.stderr
    assert done.stdout == ""
    assert not (tmp_path / "never.db").exists()


def test_the_command_prints_the_warnings_and_shows_spellings(tmp_path):
    path = tmp_path / "cars.csv"
    path.write_bytes(b"Model,AirBags\nA,None\nB,Driver only\nC,None\n\nD,\n")
    done = subprocess.run(
        [str(QUORLE), "infer", "--extras", str(path)],
        capture_output=True, text=True, timeout=HANG_GUARD,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert "1 blank line skipped" in done.stderr
    assert "column 'AirBags' is text" in done.stderr and "'None' 2" in done.stderr
    assert "NA as 'None' 2, '' 1" in done.stdout
    csv_out = subprocess.run(
        [str(QUORLE), "infer", "--extras", "--format", "csv", str(path)],
        capture_output=True, text=True, timeout=HANG_GUARD,
    ).stdout  # fmt: skip
    header, model, airbags = (
        csv.DictReader(io.StringIO(csv_out)).fieldnames,
        *csv.DictReader(io.StringIO(csv_out)),
    )
    assert header[-2:] == ["examples", "na_spellings"]
    assert json.loads(airbags["na_spellings"]) == {"None": 2, "": 1}
    assert json.loads(model["na_spellings"]) == {}


PREAMBLE_FILE = (
    b'Sales "export\n# generated\nid,city,amount\n1,Lyon,2.5\n\n# a note\n2,Nice,\n3,Paris,4.25\n\n'
)


def test_schema_json_keeps_the_reading_and_load_reads_the_same_way(tmp_path):
    path = tmp_path / "sales.csv"
    path.write_bytes(PREAMBLE_FILE)
    schema = subprocess.run(
        [str(QUORLE), "schema", "--dialect", "json", "--skip-lines", "1", "--comment", "#",
         str(path)],
        capture_output=True, text=True, timeout=HANG_GUARD,
    )  # fmt: skip
    assert schema.returncode == 0, schema.stderr
    (table,) = json.loads(schema.stdout)["tables"]
    reading = {k: table[k] for k in ("header", "skip_lines", "comment", "skip_blank_lines")}
    assert reading == {"header": True, "skip_lines": 1, "comment": "#", "skip_blank_lines": True}
    assert table["rows"] == 3
    assert [c["header"] for c in table["columns"]] == ["id", "city", "amount"]
    schema_path = tmp_path / "s.json"
    schema_path.write_text(schema.stdout)

    # The plan made from the schema reads the file as the pass did.
    plan = quorle.loading.plan.make_plan(str(path), "sqlite:///:memory:", schema=str(schema_path))
    assert dict(plan.tables[0].reading) == reading

    db = tmp_path / "db.sqlite"
    load = subprocess.run(
        [str(QUORLE), "load", "--schema", str(schema_path), "--into", f"sqlite:///{db}",
         str(path)],
        capture_output=True, text=True, timeout=HANG_GUARD,
    )  # fmt: skip
    assert load.returncode == 0, load.stderr
    # Closed, not only committed: Python 3.13 warns of a connection left to the collector.
    with contextlib.closing(sqlite3.connect(db)) as con:
        got = con.execute("SELECT id, city, amount FROM sales ORDER BY id").fetchall()
    assert got == [(1, "Lyon", 2.5), (2, "Nice", None), (3, "Paris", 4.25)]


@pytest.mark.parametrize(
    "entry, words",
    [
        ({"skip_lines": -2}, "skip_lines"),
        ({"comment": "##"}, "comment"),
        ({"comment": ","}, "delimiter"),
        ({"header": "yes"}, "header"),
    ],
)
def test_a_schema_with_bad_reading_settings_is_refused(tmp_path, entry, words):
    path = tmp_path / "f.csv"
    path.write_bytes(b"a,b\n1,2\n")
    document = json.loads(quorle.schema(quorle.infer(path), "json"))
    document["tables"][0].update(entry)
    with pytest.raises(quorle.LoadUsageError, match=words):
        quorle.loading.plan.make_plan(str(path), "sqlite:///:memory:", schema=document)


@pytest.mark.parametrize(
    "data, options, warned",
    [
        # A text column of its own words holding one or two spellings: they may be words.
        (b"m,bags\nA,None\nB,Driver only\n", {}, "'bags'"),
        (b"m,bags\nA,None\nB,Driver only\nC,null\n", {}, "'bags'"),
        # Three spellings or more mark missing values; an empty field is no word.
        (b"m,bags\nA,None\nB,Driver only\nC,null\nD,-\n", {}, None),
        (b"m,bags\nA,\nB,Driver only\n", {}, None),
        # Text through a mix of types, not through words: "null" marks a missing date.
        (b"m,when\nA,2024-01-02\nB,12:00:00\nC,null\n", {}, None),
        # Not in the missing values given: a value, counted as text.
        (b"m,bags\nA,None\nB,Driver only\n", {"na_values": [""]}, None),
    ],
)
def test_missing_value_words_are_warned_of_in_text_columns_only(tmp_path, data, options, warned):
    path = tmp_path / "f.csv"
    path.write_bytes(data)
    found = [w for w in quorle.infer(path, **options).warnings if "--na" in w]
    assert found == [] if warned is None else len(found) == 1 and warned in found[0]


@pytest.mark.parametrize(
    "header, warned",
    [
        (b"2019,2020,2021", True),
        (b"1.5,2024-01-02,12:00:00", True),
        (b"2019,2020,total", False),  # one cell is a word
        (b"2019,,2021", False),  # an empty cell is missing, not a value
        (b"NA,1,2", False),
        # Wider than a pipe holds at once: fed by a thread.
        (b",".join(b"%d" % (10**6 + i) for i in range(3000)), True),
    ],
)
@pytest.mark.parametrize("header_option", [True, False])
def test_a_header_of_values_is_warned_of(tmp_path, header, warned, header_option):
    path = tmp_path / "f.csv"
    path.write_bytes(header + b"\n1,2,3\n4,5,6\n")
    result = quorle.infer(path, header=header_option)
    found = [w for w in result.warnings if "--no-header" in w]
    assert len(found) == (1 if warned and header_option else 0)


def test_stdin_and_a_file_in_worker_processes_read_alike(tmp_path):
    # stdin is read in the command's process, the file by a worker of the process pool.
    path = tmp_path / "sales.csv"
    path.write_bytes(PREAMBLE_FILE)
    done = subprocess.run(
        [str(QUORLE), "infer", "-", str(path), "--jobs", "2", "--skip-lines", "1",
         "--comment", "#", "--format", "json"],
        input=PREAMBLE_FILE, capture_output=True, timeout=HANG_GUARD,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    reports = [json.loads(line) for line in done.stdout.splitlines()]
    assert [r["path"] for r in reports] == ["<stdin>", str(path)]
    for report in reports:
        assert report["rows"] == 3
        assert [c["name"] for c in report["columns"]] == ["id", "city", "amount"]
        assert report["quirks"]["blank_lines"] == 2 and report["quirks"]["comment_lines"] == 2
        assert report["reading"]["skip_lines"] == 1


@pytest.mark.parametrize(
    "options, loadable",
    [({}, True), ({"skip_lines": 1}, False), ({"comment": "#"}, False), ({"header": False}, False)],
)
@pytest.mark.parametrize("dialect", ["duckdb", "postgres"])
def test_no_copy_statement_reads_rows_otherwise_than_the_pass(tmp_path, options, loadable, dialect):
    path = tmp_path / "sales.csv"
    path.write_bytes(b"id,city\n1,Lyon\n2,Nice\n")
    text = quorle.schema(quorle.infer(path, **options), dialect, load=True)
    assert ("-- Not loadable with COPY" not in text) is loadable
    assert ("--no-header, --skip-lines or --comment" in text) is not loadable
