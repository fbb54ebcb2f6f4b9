"""Zip archives as input: the command reads their .csv, .tsv and .txt members as files named
ARCHIVE:MEMBER, the Python API reads one member, and a member that cannot be read fails
naming it. Archives are made with Python's zipfile; the command runs in a subprocess."""

from __future__ import annotations

import contextlib
import json
import pathlib
import sqlite3
import subprocess
import sys
import zipfile

import pytest

import quorle
import quorle_ext

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite

SALES = "id,name,price\n" + "".join(f"{i},item{i},{i}.5\n" for i in range(1, 301))
PRICES = "sku\tamount\n" + "".join(f"s{i}\t{i * 3}\n" for i in range(1, 41))
README = "What these files hold.\n"
# zipfile's own arguments per layout: compression, and whether members get ZIP64 records.
LAYOUTS = {
    "stored": (zipfile.ZIP_STORED, False),
    "deflated": (zipfile.ZIP_DEFLATED, False),
    "zip64": (zipfile.ZIP_DEFLATED, True),
}


def make_zip(path: pathlib.Path, members: dict[str, str], layout: str = "deflated") -> str:
    compression, zip64 = LAYOUTS[layout]
    with zipfile.ZipFile(path, "w", compression) as archive:
        for name, text in members.items():
            with archive.open(name, "w", force_zip64=zip64) as member:
                member.write(text.encode())
    return str(path)


def run(*args: str, **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [str(QUORLE), *args], capture_output=True, text=True, timeout=HANG_GUARD, **kwargs
    )


# Besides the two tables: a folder, a README and what macOS adds, of which only the README is
# worth a warning.
MEMBERS = {
    "data/": "",
    "data/sales.csv": SALES,
    "README.md": README,
    "__MACOSX/data/._sales.csv": "fork",
    "data/prices.TSV": PRICES,
}


@pytest.fixture
def sales_zip(tmp_path):
    return make_zip(tmp_path / "export.zip", MEMBERS)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_the_command_reads_each_table_member(tmp_path, layout):
    archive = make_zip(tmp_path / "export.zip", MEMBERS, layout)
    result = run("infer", "--format", "json", archive)
    assert result.returncode == 0, result.stderr
    reports = [json.loads(line) for line in result.stdout.splitlines()]
    assert [(r["path"], r["rows"], r["delimiter"]) for r in reports] == [
        (f"{archive}:data/sales.csv", 300, ","),
        (f"{archive}:data/prices.TSV", 40, "\t"),
    ]
    assert [c["suggested"] for c in reports[0]["columns"]] == ["integer", "text", "decimal"]
    warnings = [line for line in result.stderr.splitlines() if "warning" in line]
    assert warnings == [
        f"quorle: {archive}: warning: skipped 1 member(s) not named .csv, .tsv or .txt: README.md"
    ]


def damaged_crc(path: pathlib.Path) -> None:
    make_zip(path, {"sales.csv": SALES}, "stored")
    data = bytearray(path.read_bytes())
    data[data.index(b"7,item7,")] ^= 1  # a digit becomes another: the CRC-32 no longer fits
    path.write_bytes(bytes(data))


def bzip2_member(path: pathlib.Path) -> None:
    with zipfile.ZipFile(path, "w", zipfile.ZIP_BZIP2) as archive:
        archive.writestr("sales.csv", SALES)


def cut_short(path: pathlib.Path) -> None:
    make_zip(path, {"sales.csv": SALES})
    whole = path.read_bytes()
    path.write_bytes(whole[: len(whole) // 2])


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        (damaged_crc, "{}:sales.csv: corrupt zip member: its text ends at byte"),
        (bzip2_member, "{}:sales.csv: compressed with bzip2 (zip method 12), which quorle"),
        (
            lambda path: make_zip(path, {"README.md": README}),
            "{}: a zip archive without a .csv, .tsv or .txt member (it holds README.md)",
        ),
        (cut_short, "{}: not a zip archive, or one cut short"),
    ],
    ids=["crc_mismatch", "bzip2_member", "no_table_member", "cut_short"],
)
@pytest.mark.parametrize("command", ["infer", "schema", "load"])
def test_an_unreadable_archive_fails_in_one_line(tmp_path, make, expected, command):
    archive = tmp_path / "bad.zip"
    make(archive)
    database = tmp_path / "out.db"
    extra = {
        "infer": [],
        "schema": ["--dialect", "sqlite"],
        "load": ["--into", f"sqlite:///{database}"],
    }[command]
    result = run(command, *extra, str(archive))
    assert result.returncode == 1, result.stderr
    errors = [line for line in result.stderr.splitlines() if "error" in line]
    assert len(errors) == 1 and expected.format(archive) in errors[0], result.stderr
    if database.exists():
        with contextlib.closing(sqlite3.connect(database)) as con:
            assert con.execute("SELECT name FROM sqlite_master").fetchall() == []


def test_an_archive_on_standard_input_is_refused(sales_zip):
    with open(sales_zip, "rb") as stdin:
        result = run("infer", "-", stdin=stdin)
    assert result.returncode == 1
    assert "a zip archive cannot be read from a pipe or standard input" in result.stderr


def test_load_makes_a_table_per_member_named_after_it(tmp_path, sales_zip):
    database = tmp_path / "out.db"
    result = run("load", "--into", f"sqlite:///{database}", sales_zip)
    assert result.returncode == 0, result.stderr
    with contextlib.closing(sqlite3.connect(database)) as con:
        sales = con.execute("SELECT count(*), sum(id), sum(price) FROM sales").fetchone()
        prices = con.execute("SELECT count(*), sum(amount) FROM prices").fetchone()
    assert sales == (300, sum(range(1, 301)), sum(i + 0.5 for i in range(1, 301)))
    assert prices == (40, sum(3 * i for i in range(1, 41)))
    schema = run("schema", "--dialect", "sqlite", f"{sales_zip}:data/prices.TSV")
    assert schema.returncode == 0, schema.stderr
    assert schema.stdout.startswith('CREATE TABLE "prices"')


def test_the_python_api_reads_one_member(tmp_path, sales_zip):
    single = make_zip(tmp_path / "single.zip", {"README.md": README, "in/sales.csv": SALES})
    result = quorle.infer(single)
    assert (result.path, result.compression) == (f"{single}:in/sales.csv", "zip")
    with open(single, "rb") as stream:
        assert quorle.infer(stream).path == f"{single}:in/sales.csv"
    assert quorle.infer(f"{sales_zip}:data/prices.TSV").delimiter == "\t"
    with pytest.raises(ValueError, match=r"2 files \(data/sales.csv, data/prices.TSV\)") as e:
        quorle.infer(sales_zip)
    assert f"name the one to read as {sales_zip}:data/sales.csv" in str(e.value)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_the_engine_lists_members_as_the_directory_holds_them(tmp_path, layout):
    archive = make_zip(tmp_path / "x.zip", {"a.csv": SALES, "b/": "", "c.txt": ""}, layout)
    with zipfile.ZipFile(archive) as z:
        expected = [(i.filename.encode(), i.compress_type, i.file_size) for i in z.infolist()]
    assert quorle_ext._zip_members(archive) == expected


@pytest.mark.parametrize("named", ["archive", "folder"])
@pytest.mark.parametrize("command", ["infer", "load"])
def test_a_file_named_as_a_member_is_refused_naming_both(tmp_path, named, command):
    archive = make_zip(tmp_path / "colon.zip", {"a.csv": SALES})
    impostor = tmp_path / "colon.zip:a.csv"
    impostor.write_text("other,columns\n1,2\n")
    database = tmp_path / "out.db"
    extra = ["--into", f"sqlite:///{database}"] if command == "load" else []
    result = run(command, *extra, archive if named == "archive" else str(tmp_path))
    assert (result.returncode, result.stderr) == (
        2,
        f"quorle: error: {impostor}: the name of a file and of the member a.csv of the zip"
        f" archive {archive}: rename the file to read both\n",
    )
    assert not database.exists()


@pytest.mark.parametrize("inside", ["plain file", "zip member"])
def test_a_header_cell_that_reads_like_an_untitled_column_keeps_its_name(tmp_path, inside):
    text = "a,Unitled_2,c\n1,2,3\n4,5,6\n"
    if inside == "zip member":
        source = make_zip(tmp_path / "h.zip", {"m.csv": text})
    else:
        source = tmp_path / "m.csv"
        source.write_text(text)
    database = tmp_path / "out.db"
    result = run("load", "--into", f"sqlite:///{database}", str(source))
    assert result.returncode == 0, result.stderr
    with contextlib.closing(sqlite3.connect(database)) as con:
        columns = [row[1] for row in con.execute("PRAGMA table_info(m)")]
        rows = con.execute("SELECT * FROM m").fetchall()
    assert (columns, rows) == (["a", "Unitled_2", "c"], [(1, 2, 3), (4, 5, 6)])
