"""Formats as pattern files write them, through the engine: the dict's settings reach the
format, the regex accepts what the conversion reads, and a fault names its setting."""

from __future__ import annotations

import io
import re

import pytest

import quorle
import quorle_ext
from quorle.sql.type_maps import sql_type

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
