"""A pass's engine output (from one session, or summed over the ranges of a file) as the
FileResult a user reads."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from . import hygiene, tallies, verdicts
from .advice import Warnings, duplicate_name_warnings
from .patterns import NA, OTHER, PatternTable
from .result import ColumnResult, FileResult
from .suggest import suggest

# The 1-based line of a row start offset of the file a result is of (None: not known).
LineOf = Callable[[int], "int | None"]


def _unknown_line(offset: int) -> int | None:
    return None


@dataclass(frozen=True)
class PassOutput:
    """What the engine found: column names as it gives them, counts by name and type,
    data rows, and the extras (`_extras()`'s dict)."""

    names: list[str]
    candidates: Mapping[str, Mapping[str, int]]
    rows: int
    extras: Mapping[str, Any]


def _columns(
    output: PassOutput,
    table: PatternTable,
    with_examples: bool,
    line_of: LineOf,
    tie_breakers: Mapping[str, str] | None,
) -> list[ColumnResult]:
    gathered = output.extras
    by_position = gathered.get("formats") or [{}] * len(output.names)
    short_rows = hygiene.short_rows_by_position(gathered["row_widths"], len(output.names))
    untitled = set(gathered["untitled_cells"])
    order = [*table.names(), OTHER, NA]
    widening = table.widening()
    columns = []
    for position, name in enumerate(hygiene.strip_bom(output.names)):
        found = output.candidates.get(output.names[position], {})
        counts = {kind: found.get(kind, 0) for kind in order}
        suggested, notes = suggest(counts, widening)
        found = {
            type_name: verdicts.evidence(table[type_name], tallied, line_of)
            for type_name, tallied in by_position[position].items()
            if type_name in table
        }
        decided = verdicts.settle(suggested, list(notes), found, tie_breakers)
        suggested, notes = decided.suggested, decided.notes
        examples = None
        if with_examples:
            examples = hygiene.decoded_examples(gathered["examples"][position], order, suggested)
        columns.append(
            ColumnResult(
                name=name,
                counts=counts,
                suggested=suggested,
                notes=notes,
                max_length=gathered["max_lengths"][position],
                short_rows=short_rows[position],
                examples=examples,
                na_spellings=gathered["na_spellings"][position],
                invalid_utf8=gathered["invalid_utf8"][position],
                fits_double=gathered["fits_double"][position],
                fits_int64=gathered["fits_int64"][position],
                untitled=position in untitled,
                formats=found or None,
                format=decided.format,
                verdict=decided.verdict,
                decided_at_line=decided.decided_at_line,
                int_digits=gathered["int_digits"][position],
                frac_digits=gathered["frac_digits"][position],
            )
        )
    return columns


def file_result(
    path: str,
    delimiter: str,
    output: PassOutput,
    table: PatternTable,
    *,
    with_examples: bool,
    overlap_warnings: Sequence[str],
    notes: Sequence[str] = (),
    line_of: LineOf = _unknown_line,
    tie_breakers: Mapping[str, str] | None = None,
) -> FileResult:
    """The report of one file. `overlap_warnings` are those the table calls for; `notes`
    say how the file was read where the user can change it; `line_of` gives the line of a
    row offset, for the evidence of formats; `tie_breakers` choose between formats that
    every field fits (see verdicts.decide)."""
    warnings = Warnings()
    duplicate_name_warnings(output.names, warnings)
    warnings.add(hygiene.one_column_warnings(output.names, delimiter))
    warnings.add(hygiene.row_width_warnings(output.extras["row_widths"], len(output.names)))
    warnings.add([*overlap_warnings, *notes])
    columns = _columns(output, table, with_examples, line_of, tie_breakers)
    return FileResult(
        path, delimiter, output.rows, columns, warnings.lines,
        quirks=tallies.quirks(output.extras), warning_details=warnings.details,
    )  # fmt: skip


def renamed(output: PassOutput, names: Sequence[str]) -> PassOutput:
    """The output with its columns named `names` (distinct, as a layout gives them), in order:
    those of a header the pass read as a row of its own."""
    candidates = {
        new: output.candidates.get(old, {}) for old, new in zip(output.names, names, strict=True)
    }
    return dataclasses.replace(output, names=list(names), candidates=candidates)


class HeaderNotText(ValueError):
    """The header's bytes are not UTF-8 once read."""


class HeaderTooLong(ValueError):
    """A header cell too long to be a column's name."""


def session_output(inf: Any, path: str) -> PassOutput:
    """What a session's last pass found; HeaderNotText naming the path if the header is not
    UTF-8."""
    try:
        names = inf.col_names
        candidates = inf.get_col_type_candidates()
    except UnicodeDecodeError:
        raise HeaderNotText(f"{path}: the header is not valid UTF-8") from None
    return PassOutput(names, candidates, inf.num_rows, inf._extras())
