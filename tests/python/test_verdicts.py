"""Deciding a column's format from the pass's evidence: one format left holds, with the line
that decided it; several or none make the column text, saying why."""

from __future__ import annotations

import pytest

from quorle.inference import verdicts
from quorle.inference.formats import parse_format

DMY, MDY, ISO = "%d/%m/%Y", "%m/%d/%Y", "%Y-%m-%d"


def found(fits, ruled_out=()):
    return {
        "fits": dict(zip((DMY, MDY, ISO), fits, strict=False)),
        "ruled_out": {name: {"line": line, "text": text} for name, line, text in ruled_out},
    }


@pytest.mark.parametrize(
    ("evidence", "format", "verdict", "line", "said"),
    [
        # The last format to fall decides, at its line.
        (
            found([True, False, False], [(MDY, 1204, "13/01/2024"), (ISO, 2, "01/02/2024")]),
            DMY, "decided", 1204, "decided at line 1,204 (13/01/2024)",
        ),
        (found([True]), DMY, "decided", None, f"date, {DMY}"),
        (found([True, True, False], [(ISO, 2, "1/2/2024")]), None, "ambiguous", None,
         f"reads as {DMY} and as {MDY}"),
        (found([False, False], [(DMY, 3, "12/31/2024"), (MDY, 9, "31/12/2024")]), None, "mixed",
         None, f"{DMY} (line 3: 12/31/2024), {MDY} (line 9: 31/12/2024)"),
        (found([False], [(DMY, None, "x")]), None, "mixed", None, "line ?"),
    ],
)  # fmt: skip
def test_the_evidence_decides_one_format_or_none(evidence, format, verdict, line, said):
    decided = verdicts.decide("date", evidence)
    assert (decided.format, decided.verdict, decided.decided_at_line) == (format, verdict, line)
    assert said in decided.note


def test_files_merge_by_and_keeping_the_first_file_to_rule_out():
    first = found([True, False], [(MDY, 5, "13/01/2024")])
    second = found([False, True], [(DMY, 7, "01/13/2024"), (MDY, 2, "14/01/2024")])
    merged = verdicts.merged([first, second])
    assert merged["fits"] == {DMY: False, MDY: False}
    assert merged["ruled_out"][MDY]["line"] == 5 and merged["ruled_out"][DMY]["line"] == 7


@pytest.mark.parametrize(
    ("suggested", "evidence", "now"),
    [
        ("date", {"date": found([True, False], [(MDY, 4, "13/01/2024")])}, "date"),
        ("date", {"date": found([True, True])}, "text"),
        ("integer", {"date": found([False, False])}, "integer"),  # another type's evidence
        ("date", None, "date"),
    ],
)
def test_a_type_with_formats_holds_only_where_one_format_reads_every_field(
    suggested, evidence, now
):
    assert verdicts.settle(suggested, ["a note"], evidence).suggested == now


TRAITS = {DMY: "dmy", MDY: "mdy", ISO: "ymd"}


@pytest.mark.parametrize(
    ("fits", "breakers", "format", "said"),
    [
        # A tie: the option chooses among the formats every field fits...
        ([True, True, False], {"date_order": "dmy"}, DMY, "chosen by --date-order dmy"),
        ([True, True, False], {"date_order": "mdy"}, MDY, "chosen by --date-order mdy"),
        # ...never past the fields, and not among formats it does not name.
        ([True, False, False], {"date_order": "mdy"}, DMY, "decided"),
        ([True, True, False], {"date_order": "ymd"}, None, "--date-order settles it"),
        ([True, True, False], {"decimal_mark": ","}, None, "--date-order settles it"),
        ([False, False, False], {"date_order": "dmy"}, None, "no one format"),
    ],
)
def test_an_option_breaks_a_tie_and_never_overrules_the_fields(fits, breakers, format, said):
    evidence = {**found(fits), "traits": TRAITS}
    decided = verdicts.decide("date", evidence, breakers)
    assert decided.format == format
    assert said in decided.note or said == decided.verdict


@pytest.mark.parametrize(
    ("entry", "trait"),
    [
        ("%d/%m/%Y", "dmy"),
        ("%m-%d-%y", "mdy"),
        ("%Y.%m.%d %H:%M", "ymd"),
        ("%b %d, %Y", "mdy"),
        ("%H:%M", None),
        ({"decimal_mark": ",", "group": "."}, ","),
        ({"percent": True}, "."),
        ({"true": ["oui"], "false": ["non"]}, None),
    ],
)
def test_a_format_names_what_a_tie_breaker_matches(entry, trait):
    if isinstance(entry, str) and "%y" in entry:
        entry = {"pattern": entry, "pivot_year": 1950}
    assert parse_format(entry).trait == trait
