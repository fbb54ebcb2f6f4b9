"""A pass's engine output (from one session, or summed over the ranges of a file) as the
FileResult a user reads."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from . import hygiene, tallies
from .patterns import NA, OTHER, PatternTable
from .result import ColumnResult, FileResult
from .suggest import suggest


@dataclass(frozen=True)
class PassOutput:
    """What the engine found: column names as it gives them, counts by name and type,
    data rows, and the extras (`_extras()`'s dict)."""

    names: list[str]
    candidates: Mapping[str, Mapping[str, int]]
    rows: int
    extras: Mapping[str, Any]


def _columns(output: PassOutput, table: PatternTable, with_examples: bool) -> list[ColumnResult]:
    gathered = output.extras
    short_rows = hygiene.short_rows_by_position(gathered["row_widths"], len(output.names))
    order = [*table.names(), OTHER, NA]
    widening = table.widening()
    columns = []
    for position, name in enumerate(hygiene.strip_bom(output.names)):
        found = output.candidates.get(output.names[position], {})
        counts = {kind: found.get(kind, 0) for kind in order}
        suggested, notes = suggest(counts, widening)
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
) -> FileResult:
    """The report of one file. `overlap_warnings` are those the table calls for; `notes`
    say how the file was read where the user can change it."""
    warnings = [
        *hygiene.header_warnings(output.names, delimiter),
        *hygiene.row_width_warnings(output.extras["row_widths"], len(output.names)),
        *overlap_warnings,
        *notes,
    ]
    columns = _columns(output, table, with_examples)
    return FileResult(
        path, delimiter, output.rows, columns, warnings, quirks=tallies.quirks(output.extras)
    )


class HeaderNotText(ValueError):
    """The header's bytes are not UTF-8 once read."""


def session_output(inf: Any, path: str) -> PassOutput:
    """What a session's last pass found; HeaderNotText naming the path if the header is not
    UTF-8."""
    try:
        names = inf.col_names
        candidates = inf.get_col_type_candidates()
    except UnicodeDecodeError:
        raise HeaderNotText(f"{path}: the header is not valid UTF-8") from None
    return PassOutput(names, candidates, inf.num_rows, inf._extras())
