"""How a file's first lines are read: lines above the header skipped (and a load skipping the
same), an R export's header one field short, a header cell too long to be a name, UTF-16 and
UTF-32 byte order marks, and warnings said once per kind."""

import codecs
import contextlib
import csv
import gzip
import io
import json
import os
import pathlib
import sqlite3
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import quorle

DATA = pathlib.Path(__file__).with_name("data")
SRC = pathlib.Path(__file__).parents[2] / "src"
QUORLE = pathlib.Path(sys.executable).with_name("quorle")
HANG_GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite


def run(*args):
    return subprocess.run(
        [str(QUORLE), *map(str, args)],
        capture_output=True, timeout=HANG_GUARD, env={**os.environ, "PYTHONPATH": str(SRC)},
    )  # fmt: skip


def table_rows(path, skip):
    """The fixture's rows past `skip` lines, read by Python's csv: the header, then data."""
    with open(path, newline="") as f:
        return list(csv.reader(f))[skip:]


def loaded(tmp_path, *args, table="t"):
    """The command's load (of the files and options in `args`) into SQLite: its outcome, and
    the columns and rows of `table`."""
    db = tmp_path / "db.sqlite"
    done = run("load", "--into", f"sqlite:///{db}", *args)
    if done.returncode:
        return done, None, None
    with contextlib.closing(sqlite3.connect(db)) as con:
        cursor = con.execute(f"SELECT * FROM {table} ORDER BY rowid")
        return done, [d[0] for d in cursor.description], cursor.fetchall()


def as_loaded(text):
    """A field as SQLite holds it: a number, None for a missing value, or the text."""
    if text in ("", "NA"):
        return None
    for kind in (int, float):
        with contextlib.suppress(ValueError):
            return kind(text)
    return text


# fixture -> (lines above the header, the header is one field short, the note's words)
FIXTURES = {
    "count_line.csv": (1, False, "the first line ('10,4,malignant,benign') is not the header"),
    "r_write_table.csv": (0, True, "as R's write.table writes it"),
    "title_line.csv": (1, False, "skipped it, as --skip-lines 1 does"),
}


@pytest.mark.parametrize("name", FIXTURES)
def test_the_table_below_a_lead_in_is_inferred_and_loaded(tmp_path, name):
    lead_in, row_names, note = FIXTURES[name]
    path = DATA / name
    header, *rows = table_rows(path, lead_in)
    names = ["row_names", *header] if row_names else header
    result = quorle.infer(path)
    assert [c.name for c in result.columns] == names
    assert result.rows == len(rows)
    assert result.reading["skip_lines"] == lead_in + row_names
    assert result.reading["header"] is not row_names
    assert [w for w in result.warnings if note in w]
    assert not any("longer than the header" in w for w in result.warnings)
    with open(path, "rb") as f:  # a stream is read alike
        assert quorle.infer(io.BytesIO(f.read())).to_dict() | {"path": None} == (
            result.to_dict() | {"path": None}
        )
    # The schema keeps how the rows were read, and a load by it reads them so again.
    schema = run("schema", "--dialect", "json", "--table", "t", path)
    assert schema.returncode == 0, schema.stderr
    (tmp_path / "s.json").write_bytes(schema.stdout)
    for by_schema in ([], ["--schema", tmp_path / "s.json"]):
        done, columns, values = loaded(tmp_path, path, "--table", "t", *by_schema)
        assert done.returncode == 0, done.stderr
        assert columns == names
        assert values == [tuple(map(as_loaded, row)) for row in rows]
        (tmp_path / "db.sqlite").unlink()


@pytest.mark.parametrize("name", FIXTURES)
@pytest.mark.parametrize("option", [["--skip-lines", "0"], ["--no-header"]])
def test_an_explicit_skip_lines_or_no_header_turns_detection_off(name, option):
    path = DATA / name
    done = run("infer", "--format", "json", *option, path)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    first = table_rows(path, 0)[0]
    names = [f"column_{i + 1}" for i in range(len(first))] if "--no-header" in option else first
    assert [c["name"] for c in report["columns"]] == names
    assert report["reading"]["skip_lines"] == 0
    assert not any("--skip-lines 1 does" in w or "R's" in w for w in report["warnings"])
    api = quorle.infer(
        path, **({"skip_lines": 0} if "--skip-lines" in option else {"header": False})
    )
    assert [c.name for c in api.columns] == names


@pytest.mark.parametrize(
    "data, names",
    [
        (b"a,b,c\n1,2,3,\n4,5,6,\n", ["a", "b", "c"]),  # a delimiter ends each row: no row names
        (b"name\nAnn\nBob\n", ["name"]),  # one column
        (b"a,b,c,d\n1,2\n3,4\n", ["a", "b", "c", "d"]),  # a header wider than its rows
        (b"Report 2024\n2019,2020,2021\n1,2,3\n4,5,6\n", ["Report 2024"]),  # a header of numbers
        (b"a\n1,2,3\n4,5\n6,7,8,9\n", ["a"]),  # the rows never settle
        (b"Totals, Europe\nid,city,n\n1,Lyon,2\n2,Nice,3\n", ["id", "city", "n"]),
        (b'"Quarterly report\nid,city,n\n1,Lyon,2\n2,Nice,3\n', ["id", "city", "n"]),
    ],
)
def test_which_first_lines_are_taken_for_a_lead_in(write_csv, data, names):
    assert [c.name for c in quorle.infer(write_csv(raw=data)).columns] == names


@pytest.mark.parametrize(
    "data",
    [
        b"name,city,note\nbob,paris,hi, there\nann,rome,ok, sure\nzed,oslo,yes, indeed\n",
        b"id,name\nx1,bob,paris\nx2,ann,rome\nx3,zed,oslo\n",
        b"name;city;note\r\nbob;paris;hi; there\r\nann;rome;ok; sure\r\nzed;oslo;yes; indeed\r\n",
        b"id\tname\n\nx1\tbob\tparis\nx2\tann\trome\nx3\tzed\toslo\n",
        b"a,b\nc,d,e,f\ng,h,i,j\nk,l,m,n\n",  # rows two fields wider, all text
        b"name,city\nnote\nbob,paris,hi\nann,rome,ok\nzed,oslo,yes\n",  # all text below two lines
        b"title\nfoo,bar,baz\nq\nid,n,m\n1,2,3\n4,5,6\n",  # a line above as wide as the header
    ],
)
def test_a_first_line_not_plainly_a_lead_in_stays_the_header(write_csv, data):
    result = quorle.infer(write_csv(raw=data))
    first, *rows = [line for line in data.decode().splitlines() if line]
    delimiter = next((d for d in ",;\t" if d in first), ",")
    assert [c.name for c in result.columns] == first.split(delimiter)
    assert result.rows == len(rows)
    assert result.reading["skip_lines"] == 0
    assert not any("as --skip-lines" in w for w in result.warnings)


def test_where_it_cannot_tell_the_warning_and_the_load_name_skip_lines(tmp_path):
    path = tmp_path / "ragged.csv"
    path.write_bytes(b"a\n1,2,3\n4,5\n6,7,8,9\n")
    (warning,) = [w for w in quorle.infer(path).warnings if "longer than the header" in w]
    assert "--skip-lines N" in warning
    done, _, _ = loaded(tmp_path, path, "--table", "t")
    assert done.returncode == 1
    assert b"a row longer than the header" in done.stderr and b"--skip-lines N" in done.stderr


def test_files_of_one_header_read_otherwise_are_one_table_each_read_its_way(tmp_path):
    plain, titled = tmp_path / "a.csv", tmp_path / "b.csv"
    plain.write_bytes(b"x,y\n1,2\n")
    titled.write_bytes(b"Sales report\nx,y\n3,4\n5,6\n")
    want = [(1, 2), (3, 4), (5, 6)]
    done, columns, values = loaded(tmp_path, plain, titled, "--table", "t")
    assert done.returncode == 0, done.stderr
    assert (columns, values) == (["x", "y"], want)
    (tmp_path / "db.sqlite").unlink()
    schema = run("schema", "--dialect", "json", plain, titled)
    assert schema.returncode == 0, schema.stderr
    (tmp_path / "s.json").write_bytes(schema.stdout)
    done, _, values = loaded(tmp_path, titled, plain, "--schema", tmp_path / "s.json", table="a")
    assert done.returncode == 0, done.stderr
    assert values == want
    # A COPY statement for the file read as it is, a comment for the one read past its title.
    for order in ([plain, titled], [titled, plain]):
        done = run("schema", "--dialect", "postgres", "--load", *order)
        assert done.returncode == 0, done.stderr
        _create, *loads = done.stdout.decode().split("\n\n")
        assert len(loads) == 2
        for path, statement in zip(order, loads, strict=True):
            if path == plain:
                assert statement.startswith("COPY") and str(plain) in statement
            else:
                assert statement.startswith("-- Not loadable with COPY")


def test_the_lead_in_is_skipped_alike_on_every_path(tmp_path):
    path = tmp_path / "big.csv"
    body = b"".join(b"%d,%d.5,x%d,%d,y\n" % (i, i, i % 7, i % 2) for i in range(60_000))
    path.write_bytes(b"60000,4,first,second\nid,price,code,flag,kind\n" + body)
    want = quorle.infer(path, jobs=1).to_dict()
    assert want["rows"] == 60_000 and want["reading"]["skip_lines"] == 1
    with ThreadPoolExecutor(2) as pool:
        spread = [
            quorle.infer(path, jobs=2),
            quorle.infer(path, executor=pool, chunk_size="64kB"),
            quorle.infer_many([path], executor=pool).files[0],
        ]
    for got in spread:
        assert got.to_dict() == want


LIMIT = 1 << 20


@pytest.mark.parametrize("header, cell", [(b"", 1), (b"id,", 2)])
def test_a_header_cell_over_a_mebibyte_fails_before_the_pass(tmp_path, header, cell):
    path = tmp_path / "big.csv.gz"
    path.write_bytes(gzip.compress(header + b"a" * (2 * LIMIT) + b"\n1\n", 1))
    assert path.stat().st_size < 64 * 1024
    done = run("infer", path)
    assert done.returncode == 1
    assert done.stderr.decode() == (
        f"quorle: error: {path}: header cell {cell} is longer than 1 MiB: is the first line"
        " the header? (--no-header reads it as data)\n"
    )
    with pytest.raises(ValueError, match=f"header cell {cell} is longer"):
        quorle.infer(io.BytesIO(path.read_bytes()))


def test_a_header_cell_at_the_limit_is_a_name(tmp_path):
    path = tmp_path / "wide.csv.gz"
    path.write_bytes(gzip.compress(b"a" * LIMIT + b",b\n1,2\n", 1))
    assert [len(c.name) for c in quorle.infer(path).columns] == [LIMIT, 1]


TABLE = "id,name,amount\n1,Zoë,2.5\n2,Ann,3\n"
MARKS = {
    "UTF-16 LE": (codecs.BOM_UTF16_LE, "utf-16-le"),
    "UTF-16 BE": (codecs.BOM_UTF16_BE, "utf-16-be"),
    "UTF-32 LE": (codecs.BOM_UTF32_LE, "utf-32-le"),
    "UTF-32 BE": (codecs.BOM_UTF32_BE, "utf-32-be"),
}


@pytest.mark.parametrize("mark", MARKS)
def test_a_byte_order_mark_chooses_utf16_or_utf32(tmp_path, mark):
    bom, codec = MARKS[mark]
    path = tmp_path / "marked.csv"
    path.write_bytes(bom + TABLE.encode(codec))
    result = quorle.infer(path)
    assert [c.name for c in result.columns] == ["id", "name", "amount"]
    assert result.encoding == mark[:6] and result.rows == 2
    done, columns, values = loaded(tmp_path, path, "--table", "t")
    assert done.returncode == 0, done.stderr
    assert (columns, values) == (["id", "name", "amount"], [(1, "Zoë", 2.5), (2, "Ann", 3.0)])
    agreeing = run("infer", "--encoding", mark[:6].lower(), path)
    assert agreeing.returncode == 0, agreeing.stderr
    contradicted = run("infer", "--encoding", "latin-1", path)
    assert contradicted.returncode == 1
    assert contradicted.stderr.decode() == (
        f"quorle: error: {path}: starts with a {mark} byte order mark, but --encoding latin-1"
        f" was given (encoding= in Python): leave it out, or give --encoding {mark[:6]}\n"
    )


WORDY = b"".join(
    [b",".join(b"t%d" % i for i in range(7)) + b"\n"]
    + [b",".join(b"NA" if (r + i) % 3 == 0 else b"w%d" % r for i in range(7)) + b"\n"
       for r in range(6)]
)  # fmt: skip


@pytest.mark.parametrize("command", [["infer"], ["schema", "--dialect", "json"]])
def test_a_kind_of_warning_is_one_line_and_verbose_gives_each_column(tmp_path, command):
    path = tmp_path / "wordy.csv"
    path.write_bytes(WORDY)
    result = quorle.infer(path)
    (words,) = [w for w in result.warnings if "counted as missing" in w]
    assert words.startswith(
        f"7 text columns hold texts counted as missing ('NA' {WORDY.count(b'NA')}):"
    )
    assert "'t0', 't1', 't2', 't3', 't4' and 2 more" in words and "--verbose" in words
    details = [w for w in result.warning_details if "counted as missing" in w]
    assert [d.split()[1] for d in details] == [f"'t{i}'" for i in range(7)]
    for verbose, expected in ((False, result.warnings), (True, result.warning_details)):
        done = run(*command, *(["--verbose"] if verbose else []), path)
        assert done.returncode == 0, done.stderr
        warned = done.stderr.decode().splitlines()
        assert warned == [f"quorle: {path}: warning: {w}" for w in expected]
    report = json.loads(run("infer", "--format", "json", path).stdout)
    assert (report["warnings"], report["warning_details"]) == (
        result.warnings,
        result.warning_details,
    )


def test_duplicate_names_are_one_warning(write_csv):
    result = quorle.infer(write_csv(raw=b"a,b,a,b,c,c\n1,2,3,4,5,6\n"))
    (line,) = [w for w in result.warnings if "position" in w]
    assert line.startswith("3 column names appear at more than one position ('a', 'b', 'c')")
    assert [w for w in result.warning_details if "position" in w] == [
        f"column name {n!r} appears at positions {at}: their counts are combined"
        for n, at in (("a", "1, 3"), ("b", "2, 4"), ("c", "5, 6"))
    ]
