"""Formats as pattern files write them, through the engine: the dict's settings reach the
format, the regex accepts what the conversion reads, and a fault names its setting."""

from __future__ import annotations

import datetime
import io
import json
import pathlib
import re
import subprocess
import sys
from decimal import Decimal

import pytest

import quorle
import quorle_ext
from quorle.sql.type_maps import sql_type

QUORLE = str(pathlib.Path(sys.executable).with_name("quorle"))
DAY_FIRST = {"pattern": "%d/%m/%Y", "name": "day first"}
SWISS = {"decimal_mark": ".", "group": "'", "currency": "Fr.", "currency_space": True}
EURO = {"decimal_mark": ",", "group": ".", "currency": "€", "currency_after": True}
FRENCH = {"true": ["oui"], "false": ["non"]}


@pytest.mark.parametrize(
    ("format", "text", "value"),
    [
        (DAY_FIRST, "31/12/2024", "2024-12-31"),
        (DAY_FIRST, "1/2/2024", "2024-02-01"),
        (DAY_FIRST, "31/06/2024", None),
        ({"pattern": "%d.%m.%y", "pivot_year": 1950}, "31.12.49", "2049-12-31"),
        ({"pattern": "%d.%m.%y", "pivot_year": 1950}, "31.12.50", "1950-12-31"),
        (SWISS, "Fr. 1'234.50", "1234.50"),
        (SWISS, "Fr. 1'23.50", None),
        (EURO, "-1.234,5€", "-1234.5"),
        ({"percent": True}, "45%", "0.45"),
        (FRENCH, "OUI", "true"),
        (FRENCH, "oui ", None),
    ],
)
def test_a_format_reads_what_its_expression_accepts(format, text, value):
    assert quorle_ext._format_convert(format, text) == value
    accepted = re.fullmatch(quorle_ext._format_regex(format), text) is not None
    assert accepted is (value is not None)


@pytest.mark.parametrize(
    ("format", "named"),
    [
        ({"pattern": "%d/%m/%Y", "group": ","}, '"group"'),
        ({"decimal_mark": ",", "thousands": "."}, '"thousands"'),
        ({"decimal_mark": ",,"}, "decimal mark"),
        ({"pattern": "%d/%m/%y"}, "pivot_year"),
        ({"true": ["yes"], "false": ["YES"]}, "both a true and a false word"),
        ({"true": ["yes"]}, "no false words"),
    ],
)
def test_a_faulty_format_names_its_fault(format, named):
    with pytest.raises(ValueError, match=re.escape(named)):
        quorle_ext._format_regex(format)


def test_a_pattern_file_type_of_formats_counts_what_its_formats_read():
    table = quorle.parse_patterns(
        {
            "date": {"formats": ["%d/%m/%Y", {"pattern": "%d.%m.%y", "pivot_year": 1950}]},
            "amount": {"patterns": ["[0-9]+"], "formats": [SWISS]},
            "flag": {"formats": [FRENCH]},
        }
    )
    assert [f.name for f in table["date"].formats] == ["%d/%m/%Y", "%d.%m.%y"]
    assert table["amount"].expressions[0] == "[0-9]+"
    rows = "d,a,f\n31/12/2024,Fr. 1'234.50,Oui\n1.2.49,17,non\n30.02.49,x,peut-être\n"
    result = quorle.infer(io.BytesIO(rows.encode()), patterns=table)
    assert [c.counts for c in result.columns] == [
        {"date": 2, "amount": 0, "flag": 0, "other": 1, "NA": 0},
        {"date": 0, "amount": 2, "flag": 0, "other": 1, "NA": 0},
        {"date": 0, "amount": 0, "flag": 2, "other": 1, "NA": 0},
    ]


@pytest.mark.parametrize("dialect", ["sqlite", "postgres", "duckdb"])
def test_a_formatted_type_loads_as_text_as_written(dialect):
    table = quorle.parse_patterns({"date": {"formats": [DAY_FIRST]}})
    assert sql_type("date", dialect, 10, table) == sql_type("x", dialect, 10, table)


# Everyday spellings, one column each, with the amounts quoted.
EVERYDAY = (
    "us_date,eu_date,dotted,amount_us,amount_eu,money,pct,flag,ts_us,yn\n"
    '12/31/2024,31/12/2024,31.12.2024,"1,234.56","1.234,56",$12.50,45%,TRUE,'
    "12/31/2024 11:30 PM,Yes\n"
    '01/15/2024,15/01/2024,15.01.2024,12.00,"12,5",$-5.00,12.5%,false,01/01/2024 12:05 AM,No\n'
    "07/04/2024,04/07/2024,04.07.2024,7,3,$1000,-3%,True,06/15/2024 9:00 AM,Y\n"
)
EVERYDAY_TABLE = {
    "date": {"formats": ["%m/%d/%Y", "%d/%m/%Y", "%d.%m.%Y"]},
    "datetime": {"formats": ["%m/%d/%Y %I:%M %p"]},
    "decimal": {
        "formats": [{"decimal_mark": ".", "group": ","}, {"decimal_mark": ",", "group": "."}]
    },
    "money": {
        "formats": [{"currency": "$"}],
        "sql": {"sqlite": "TEXT", "duckdb": "DECIMAL(12,2)", "postgres": "numeric(12,2)"},
    },
    "percent": {
        "formats": [{"percent": True}],
        "sql": {"sqlite": "TEXT", "duckdb": "DECIMAL(12,4)", "postgres": "numeric"},
    },
    "boolean": {"formats": [{"true": ["true", "yes", "y"], "false": ["false", "no", "n"]}]},
}


def test_every_everyday_column_is_decided_by_its_rows(tmp_path):
    path = tmp_path / "everyday.csv"
    path.write_text(EVERYDAY)
    result = quorle.infer(path, patterns=EVERYDAY_TABLE)
    got = {c.name: (c.suggested, c.format, c.verdict) for c in result.columns}
    assert got == {
        "us_date": ("date", "%m/%d/%Y", "decided"),
        "eu_date": ("date", "%d/%m/%Y", "decided"),
        "dotted": ("date", "%d.%m.%Y", "decided"),
        "amount_us": ("decimal", "decimal mark '.', groups ','", "decided"),
        "amount_eu": ("decimal", "decimal mark ',', groups '.'", "decided"),
        "money": ("money", "decimal mark '.', currency '$'", "decided"),
        "pct": ("percent", "decimal mark '.', percent", "decided"),
        "flag": ("boolean", "true/yes/y/false/no/n", "decided"),
        "ts_us": ("datetime", "%m/%d/%Y %I:%M %p", "decided"),
        "yn": ("boolean", "true/yes/y/false/no/n", "decided"),
    }
    # The first row rules out the other date formats of the US column: 31 is no month.
    assert result.columns[0].decided_at_line == 2


def as_value(value):
    """A value read back, comparable across databases (SQLite keeps booleans and these
    decimals as text)."""
    if isinstance(value, bool):
        return value
    if isinstance(value, (datetime.date, datetime.datetime)):
        return str(value)
    if isinstance(value, (int, float, Decimal)):
        return Decimal(str(value)).normalize()
    if value in ("true", "false"):
        return value == "true"
    try:
        return Decimal(value).normalize()
    except ArithmeticError:
        return value


def test_every_everyday_value_arrives_as_its_value(database, tmp_path):
    path = tmp_path / "everyday.csv"
    path.write_text(EVERYDAY)
    quorle.load([str(path)], database.url, patterns=EVERYDAY_TABLE)
    rows = database.query("SELECT * FROM everyday")
    got = [[as_value(v) for v in row] for row in rows]
    d = Decimal
    assert got[0] == [
        "2024-12-31", "2024-12-31", "2024-12-31", d("1234.56"), d("1234.56"), d("12.5"),
        d("0.45"), True, "2024-12-31 23:30:00", True,
    ]  # fmt: skip
    assert got[1][3:8] == [d("12"), d("12.5"), d("-5"), d("0.125"), False]
    assert got[2][6] == d("-0.03") and got[2][8] == "2024-06-15 09:00:00" and got[2][9] is True


@pytest.mark.parametrize(
    ("rows", "said"),
    [
        ("d\n31/12/2024\n12/31/2024\n", "no one format reads every field"),
        ("d\n01/02/2024\n03/04/2024\n", "every field reads as %m/%d/%Y and as %d/%m/%Y"),
    ],
)
def test_a_column_of_no_one_format_stays_text_and_says_why(tmp_path, rows, said):
    path = tmp_path / "dates.csv"
    path.write_text(rows)
    (column,) = quorle.infer(path, patterns=EVERYDAY_TABLE).columns
    assert column.suggested == "text" and column.format is None
    assert any(said in note for note in column.notes), column.notes


def test_a_field_the_schema_format_does_not_read_fails_the_load_at_its_line(database, tmp_path):
    first = tmp_path / "first.csv"
    first.write_text("d\n31/12/2024\n")
    schema = tmp_path / "schema.json"
    result = quorle.infer(first, patterns=EVERYDAY_TABLE)
    # Without its table, the schema cannot convert the column: it goes as written, as text.
    (table,) = json.loads(quorle.schema(result, "json"))["tables"]
    assert table["columns"][0]["type"] == "text"
    document = json.loads(quorle.schema(result, "json", patterns=EVERYDAY_TABLE))
    # The file grows a row the format does not read, and its stamp is dropped: a schema
    # written for a stream, which cannot tell a change.
    document["tables"][0]["files"][0].update(size=None, mtime_ns=None)
    schema.write_text(json.dumps(document))
    first.write_text("d\n31/12/2024\n01/13/2024\n")
    with pytest.raises(quorle.LoadError, match=r"line 3.*'01/13/2024' is not written as %d/%m/%Y"):
        quorle.load([str(first)], database.url, schema=str(schema))
    assert database.tables() == set()


@pytest.mark.parametrize("dialect", ["duckdb", "postgres"])
def test_a_load_statement_leaves_a_formatted_column_to_quorle_load(tmp_path, dialect):
    path = tmp_path / "dates.csv"
    path.write_text("d,n\n13/01/2024,1\n")
    result = quorle.infer(path, patterns=EVERYDAY_TABLE)
    statements = quorle.schema(result, dialect, patterns=EVERYDAY_TABLE, load=True)
    assert "-- Not loadable with COPY: column 'd' is written as %d/%m/%Y" in statements
    assert not [line for line in statements.splitlines() if line.startswith("COPY")]


@pytest.mark.parametrize(
    ("rows", "order", "suggested", "format"),
    [
        ("d\n01/02/2024\n03/04/2024\n", "dmy", "date", "%d/%m/%Y"),
        ("d\n01/02/2024\n03/04/2024\n", "mdy", "date", "%m/%d/%Y"),
        # Dates that prove their order keep it, whatever the option says.
        ("d\n01/02/2024\n13/04/2024\n", "mdy", "date", "%d/%m/%Y"),
    ],
)
def test_the_date_order_option_breaks_ties_only(tmp_path, rows, order, suggested, format):
    path = tmp_path / "dates.csv"
    path.write_text(rows)
    table = tmp_path / "patterns.json"
    table.write_text(json.dumps(EVERYDAY_TABLE))
    run = subprocess.run(
        [QUORLE, "infer", str(path), "--patterns", str(table), "--date-order", order,
         "--format", "json"],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    (column,) = json.loads(run.stdout)["columns"]
    assert (column["suggested"], column["format"]) == (suggested, format)


def test_a_tie_breaker_that_is_no_choice_is_refused():
    with pytest.raises(ValueError, match="date_order .* must be one of dmy, mdy, ymd"):
        quorle.infer(io.BytesIO(b"d\n1\n"), date_order="dd/mm")


def test_extras_show_where_each_rejected_format_fell(tmp_path):
    path = tmp_path / "dates.csv"
    path.write_text("d\n01/02/2024\n13/01/2024\n02/03/2024\n")
    table = tmp_path / "patterns.json"
    table.write_text(json.dumps(EVERYDAY_TABLE))
    run = subprocess.run(
        [QUORLE, "infer", str(path), "--patterns", str(table), "--extras"],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    assert "date, %d/%m/%Y: decided at line 3 (13/01/2024)" in run.stdout
    assert "date not %m/%d/%Y: line 3 ('13/01/2024')" in run.stdout
    assert "date not %d.%m.%Y: line 2 ('01/02/2024')" in run.stdout
