"""Load statements of files that a database's CSV reader may read otherwise than quorle: each
statement, run by the real client, loads exactly quorle's rows and values, or is the
not-loadable comment naming the cause."""

from __future__ import annotations

import pathlib
import shutil
import subprocess
import sys

import pytest

import quorle
from quorle.engine.rows import read_rows

duckdb = pytest.importorskip("duckdb")
psycopg = pytest.importorskip("psycopg")

QUORLE = pathlib.Path(sys.executable).with_name("quorle")
GUARD = 120  # seconds: only so that a hang fails instead of blocking the suite
NA = ["", "NA"]
COMMENT = "-- Not loadable with COPY: "
LOADS = None  # the expectation of a file whose statement must load it

# name: (file bytes, what Postgres' \copy gives, what DuckDB's COPY gives): LOADS, or a
# text the not-loadable comment must hold.
CASES = {
    "clean": (b"id,note\n1,a\n2,NA\n3,c\n", LOADS, LOADS),
    "crlf": (b"id,note\r\n1,a\r\n2,b\r\n", LOADS, LOADS),
    "cr_only": (b"id,note\r1,a\r2,b\r", LOADS, LOADS),
    "no_final_line_end": (b"id,note\n1,a\n2,b", LOADS, LOADS),
    "header_only": (b"id,note\n", LOADS, LOADS),
    "quoted_line_ends": (b'id,note\n1,"x\ny"\n2,"p\r\nq"\n3,"r\rs"\n', LOADS, LOADS),
    "quoted_line_ends_in_cr_file": (b'id,note\r1,"x\ry"\r2,"p\nq"\r', LOADS, LOADS),
    "short_rows": (b"id,note,more\n1,a,b\n2,c\n3\n", "shorter than the header", LOADS),
    "short_rows_with_quoted_line_ends": (
        b'id,note,more\n1,"x\ny",z\n2\n3,"p\r\nq"\n',
        "shorter than the header",
        LOADS,
    ),
    "mid_field_quote": (b'id,note\n1,ab"c\n2,x\n3,y"z\n4,w\n', "quote", "quote"),
    "quote_after_a_space": (b'id,note\n1, "x"\n2,y\n', "quote", "quote"),
    "quote_after_text_then_delimiter": (b'id,a,b\n1,a"b,c"d\n2,x,y\n', "quote", "quote"),
    "copy_end_line": (b"note\nx\n\\.\ny\n", "\\.", LOADS),
    "nul_byte": (b"id,note\n1,x\x00y\n2,z\n", "NUL", LOADS),
    "not_utf8": (b"id,note\n1,caf\xe9\n2,z\n", "UTF-8", "UTF-8"),
    "mixed_line_ends": (b"id,note\r\n1,a\n2,b\r3,c\r\n", "more than one way", "more than one way"),
    "lf_and_crlf": (b'id,note\n1,a\r\n2,"b\r\nc"\n', "more than one way", "more than one way"),
    # DuckDB drops a long row's extra fields as quorle does, without strict mode.
    "long_row": (b"id,note\n1,a,extra\n2,b\n", "longer than the header", LOADS),
    "long_rows_with_quoted_line_ends": (
        b'id,note\n1,"a\nb",extra\n2,b\n3,c,"ex\ntra"\n',
        "longer than the header",
        LOADS,
    ),
    "long_and_short_rows": (b"id,note,m\n1,a,b,extra\n2\n3,c,d\n", "longer than the header", LOADS),
    "long_and_short_rows_with_quoted_line_ends": (
        b'id,note,m\n1,"a\nq",b,extra\n2\n3,c,d\n',
        "longer than the header",
        LOADS,
    ),
    # Postgres keeps text after a closing quote, as quorle does; DuckDB drops it.
    "text_after_quote": (b'id,note\n1,"x"y\n2,"p" \n3,""z\n', LOADS, "closing quote"),
    "space_after_quote": (b'id,note,m\n1,"x" ,z\n2,b,c\n', LOADS, "closing quote"),
    "long_row_and_text_after_quote": (
        b'id,note\n1,"x"y,extra\n2,b\n',
        "longer than the header",
        "closing quote",
    ),
    # psql's \copy ends its data at a `\.` line even inside a quoted field.
    "copy_end_in_quoted_field": (b'id,note\n1,"a\n\\.\nb"\n2,c\n', "\\.", LOADS),
    "copy_end_in_quoted_field_crlf": (
        b'id,note\r\n1,"a\r\n\\.\r\nb"\r\n2,c\r\n',
        "\\.",
        LOADS,
    ),
    "quoted_copy_end_field": (b'note\nx\n"\\."\ny\n', "\\.", LOADS),
    "unclosed_quote": (b'id,note\n1,"open\n2,b\n', "quoted field", "quoted field"),
    # Skipped by quorle in a file of more than one column, and by DuckDB.
    "blank_line": (b"id,note\n1,a\n\n2,b\n", "blank line was skipped", LOADS),
    "blank_lines_in_one_column": (b"id\n1\n\n2\r\n\r\n", "more than one way", "more than one way"),
    # A blank line is an empty field, missing here: DuckDB reads it as NULL too.
    "blank_line_in_one_column": (b"id\n1\n\n2\n", LOADS, LOADS),
    "quoted_empty_in_one_column": (b'id\n1\n""\n2\n', LOADS, LOADS),
    "single_field_short_row": (b"id,note\n1,a\n2\n", "shorter than the header", LOADS),
}


def quorle_rows(path, na=NA, keep_blank_lines=False):
    """The data rows as quorle reads them, each as wide as the header: missing values None,
    short rows padded, the extra fields of long rows dropped, and blank lines skipped in a file
    of more than one column unless kept."""
    data = pathlib.Path(path).read_bytes()
    header, *rows = [
        (row, data[offset : offset + 1])
        for offsets, batch in read_rows(str(path), ",")
        for offset, row in zip(offsets, batch, strict=True)
    ]
    width = len(header[0])
    out = []
    for row, first in rows:
        if width > 1 and not keep_blank_lines and row == [b""] and first in (b"\n", b"\r"):
            continue
        texts = [f.decode("utf-8", "surrogateescape") for f in row[:width]]
        fields = [None if text in na else text for text in texts]
        out.append(fields + [None] * (width - len(fields)))
    return out


def schema_statements(path, dialect, *load, na=NA):
    done = subprocess.run(
        [str(QUORLE), "schema", *map(str, path), "--dialect", dialect, *load, "--na", *na],
        capture_output=True,
        timeout=GUARD,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.decode().rstrip("\n")


def as_text(value):
    return None if value is None else str(value)


def check(case, dialect, expected, statements, load):
    """Either the comment names the cause, or `load(statements)` gives quorle's rows."""
    path, result = case
    last = statements.split("\n\n")[-1]
    if expected is not LOADS:
        assert last.startswith(COMMENT), last
        assert expected in last and "quorle load" in last, last
        assert "\n" not in last
        return
    assert not last.startswith("--"), last
    stored = load(statements)
    assert len(stored) == result.rows, dialect
    assert [[as_text(v) for v in row] for row in stored] == quorle_rows(path), dialect


@pytest.fixture(params=sorted(CASES))
def case(request, tmp_path):
    path = tmp_path / f"{request.param}.csv"
    path.write_bytes(CASES[request.param][0])
    return request.param, path


def test_duckdb_copy_loads_quorles_rows_or_says_why_not(case):
    name, path = case

    def load(statements):
        con = duckdb.connect()
        con.execute(statements)
        return con.execute(f'SELECT * FROM "{name}" ORDER BY rowid').fetchall()

    result = quorle.infer(str(path), na_values=NA)
    check(
        (path, result),
        "duckdb",
        CASES[name][2],
        schema_statements([path], "duckdb", "--load"),
        load,
    )


def test_psql_copy_loads_quorles_rows_or_says_why_not(case, postgres):
    name, path = case
    psql = [shutil.which("psql") or "psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-1"]

    def load(statements):
        done = subprocess.run(psql, input=statements.encode(), capture_output=True,
                              env=postgres.client_env(), timeout=GUARD)  # fmt: skip
        assert done.returncode == 0, done.stderr
        with psycopg.connect(postgres.url()) as con:
            return con.execute(f'SELECT * FROM "{name}" ORDER BY ctid').fetchall()

    result = quorle.infer(str(path), na_values=NA)
    try:
        statements = schema_statements([path], "postgres", "--psql")
        check((path, result), "postgres", CASES[name][1], statements, load)
        # The server-side COPY reads with the same options, so it is refused alike.
        server = schema_statements([path], "postgres", "--load").split("\n\n")[-1]
        assert server.startswith(COMMENT) == statements.split("\n\n")[-1].startswith(COMMENT)
    finally:
        with psycopg.connect(postgres.url(), autocommit=True) as con:
            con.execute(f'DROP TABLE IF EXISTS "{name}"')


# Why the rules refuse: each file, read with the options a clean file gets (and the options
# that look like a remedy), loads other rows than quorle's or fails.
DUCKDB_MISREADS = [
    ("space_quote", b'id,note\n1, "x"\n2,y\n', ""),
    ("lone_cr", b"id,note\r\n1,a\n2,b\r3,c\r\n", ""),
    ("lone_cr", b"id,note\r\n1,a\n2,b\r3,c\r\n", ", STRICT_MODE false"),
    ("kept_blank_line", b"id,note\n1,a\n\n2,b\n", ", NULL_PADDING true"),
    ("long_row", b"id,note\n1,a,extra\n2,b\n", ""),
    ("text_after_a_closing_quote", b'id,note\n1,"x"y,z\n', ", STRICT_MODE false"),
    ("text_after_a_closing_quote_strict", b'id,note\n1,"x"y\n2,b\n', ""),
    ("space_after_a_closing_quote", b'id,note,m\n1,"x" ,z\n', ", STRICT_MODE false"),
    (
        "text_after_a_closing_quote_and_a_long_row",
        b'id,note\n1,"x"y,a\n2,b,c\n',
        ", STRICT_MODE false",
    ),
    ("padded_quoted_line_end", b'id,note,more\n1,"x\ny",z\n2\n', ", NULL_PADDING true"),
    ("unclosed_quote", b'id,note\n1,"open\n2,b\n', ", STRICT_MODE false"),
    ("not_utf8", b"id,note\n1,caf\xe9\n", ""),
]


@pytest.mark.parametrize(
    "na, loads",
    [(["", "NA"], True), (["NA"], False)],
)
def test_duckdb_blank_lines_of_one_column_load_only_as_missing_values(tmp_path, na, loads):
    path = tmp_path / "one.csv"
    path.write_bytes(b"id\nx\n\ny\n\n")
    last = schema_statements([path], "duckdb", "--load", na=na).split("\n\n")[-1]
    assert last.startswith(COMMENT) != loads, last
    if loads:
        con = duckdb.connect()
        con.execute(schema_statements([path], "duckdb", "--load", na=na))
        stored = con.execute('SELECT * FROM "one" ORDER BY rowid').fetchall()
        assert [list(row) for row in stored] == quorle_rows(path, na)
    else:
        assert "2 blank lines are rows" in last


@pytest.mark.parametrize("name, data, options", DUCKDB_MISREADS)
def test_duckdb_reads_refused_files_otherwise(tmp_path, name, data, options):
    path = tmp_path / f"{name}.csv"
    path.write_bytes(data)
    # As read with --keep-blank-lines, the one reading that makes a blank line a row here.
    want = quorle_rows(path, keep_blank_lines=name.startswith("kept_"))
    width = len(next(read_rows(str(path), ","))[1][0])
    con = duckdb.connect()
    con.execute("CREATE TABLE t (" + ", ".join(f"c{i} VARCHAR" for i in range(width)) + ")")
    try:
        con.execute(
            f"COPY t FROM '{path}' (FORMAT csv, HEADER true, QUOTE '\"', ESCAPE '\"',"
            f" NULLSTR ['', 'NA'], AUTO_DETECT false{options})"
        )
    except duckdb.Error:
        return  # fails: not loaded as quorle read it
    assert [list(row) for row in con.execute("SELECT * FROM t ORDER BY rowid").fetchall()] != want


POSTGRES_MISREADS = [
    ("mid_quote", b'id,note\n1,ab"c\n2,x\n3,y"z\n4,w\n'),
    ("copy_end", b"note\nx\n\\.\ny\n"),
    ("copy_end_in_quoted_field", b'id,note\n1,"a\n\\.\nb"\n2,c\n'),
    ("nul_byte", b"id,note\n1,x\x00y\n"),
    ("blank_line", b"id,note\n1,a\n\n2,b\n"),
    ("long_row", b"id,note\n1,a,extra\n2,b\n"),
    ("lone_cr", b"id,note\r\n1,a\n2,b\r3,c\r\n"),
    ("unclosed_quote", b'id,note\n1,"open\n2,b\n'),
    ("not_utf8", b"id,note\n1,caf\xe9\n"),
]


@pytest.mark.parametrize("name, data", POSTGRES_MISREADS)
def test_postgres_reads_refused_files_otherwise(tmp_path, postgres, name, data):
    path = tmp_path / f"{name}.csv"
    path.write_bytes(data)
    want = quorle_rows(path)
    width = len(want[0]) if want else 1
    columns = ", ".join(f"c{i} text" for i in range(width))
    script = (
        f"CREATE TABLE misread ({columns});\n"
        f"\\copy misread FROM '{path}' WITH (FORMAT csv, HEADER true, NULL 'NA')\n"
    )
    psql = [shutil.which("psql") or "psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-1"]
    try:
        done = subprocess.run(psql, input=script.encode(), capture_output=True,
                              env=postgres.client_env(), timeout=GUARD)  # fmt: skip
        if done.returncode != 0:
            return  # fails: not loaded as quorle read it
        with psycopg.connect(postgres.url()) as con:
            stored = con.execute("SELECT * FROM misread ORDER BY ctid").fetchall()
        assert [list(row) for row in stored] != [[v or "" for v in row] for row in want]
    finally:
        with psycopg.connect(postgres.url(), autocommit=True) as con:
            con.execute("DROP TABLE IF EXISTS misread")


def test_psql_loads_the_loadable_files_of_a_group(tmp_path, postgres):
    # The first file holds a missing-value string and the second none: each gets its own NULL.
    files = {
        "orders.csv": b"id,note\n1,NA\n2,a\n",
        "more.csv": b"id,note\n3,b\n",
        "odd.csv": b'id,note\n4,ab"c\n5,x\n',
    }
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    paths = [tmp_path / name for name in files]
    statements = schema_statements(paths, "postgres", "--psql")
    assert statements.split("\n\n")[-1].startswith(COMMENT)
    psql = [shutil.which("psql") or "psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-1"]
    try:
        done = subprocess.run(psql, input=statements.encode(), capture_output=True,
                              env=postgres.client_env(), timeout=GUARD)  # fmt: skip
        assert done.returncode == 0, done.stderr
        with psycopg.connect(postgres.url()) as con:
            stored = con.execute('SELECT * FROM "orders" ORDER BY ctid').fetchall()
        assert [[as_text(v) for v in row] for row in stored] == [
            *quorle_rows(paths[0]),
            *quorle_rows(paths[1]),
        ]
    finally:
        with psycopg.connect(postgres.url(), autocommit=True) as con:
            con.execute('DROP TABLE IF EXISTS "orders"')


def skipping_blank_lines(path, na):
    """quorle's result for a pass told to skip blank lines."""
    import quorle_ext
    from quorle.inference.patterns import resolve_patterns
    from quorle.inference.report import file_result, session_output

    table = resolve_patterns(None)
    inf = quorle_ext.Inf(str(path), ",", table.sources(), set(na), False, False, "", 1000)
    inf._set_extras(0)
    inf._set_reading(True, True, 0, "")
    inf.infer_types()
    output = session_output(inf, str(path))
    return file_result(str(path), ",", output, table, with_examples=False, overlap_warnings=[])


@pytest.mark.parametrize(
    "data, dialect, expected",
    [
        (b"id,note\n1,a\n\n2,b\r\n\r\n", "duckdb", "more than one way"),
        (b"id,note\n1,a\n\n2,b\n\n", "duckdb", LOADS),
        (b"id,note\n1,a\n\n2,b\n", "postgres", "1 blank line was skipped"),
        (b"id\n1\n\n2\n", "duckdb", "1 blank line was skipped"),
    ],
)
def test_blank_lines_that_quorle_skips(tmp_path, data, dialect, expected):
    path = tmp_path / "skips.csv"
    path.write_bytes(data)
    result = skipping_blank_lines(path, NA)
    assert result.quirks["blank_lines"] > 0
    statements = quorle.schema(result, dialect, na_values=NA, load=True)
    last = statements.split("\n\n")[-1]
    if expected is not LOADS:
        assert last.startswith(COMMENT) and expected in last, last
        return
    con = duckdb.connect()
    con.execute(statements)
    stored = con.execute('SELECT * FROM "skips" ORDER BY rowid').fetchall()
    kept = [row for row in quorle_rows(path) if row != [None] * len(row)]
    assert len(stored) == result.rows == len(kept)
    assert [[as_text(v) for v in row] for row in stored] == kept
