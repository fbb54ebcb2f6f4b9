"""Which format a column's type is written in, decided from every row.

The pass keeps, per column and per type with formats, which of the type's formats every
field of that type fits, and the first field that ruled out each of the others. One format
left: the column is written in it, and a load converts its fields by it. Several left: the
column is ambiguous. None left: it mixes formats. In either case it is text.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from .patterns import TEXT, TypeSpec

DECIDED, AMBIGUOUS, MIXED = "decided", "ambiguous", "mixed"
# The longest example text a note quotes, in characters.
SHOWN_TEXT = 40


@dataclass(frozen=True)
class Verdict:
    """The decision for one type of one column: `format` (the name of the one format left,
    else None), `verdict` (DECIDED, AMBIGUOUS or MIXED), the line at which it was decided
    (the last format ruled out, where there was one), and a note saying so."""

    format: str | None
    verdict: str
    decided_at_line: int | None
    note: str


def evidence(
    type_spec: TypeSpec, found: Mapping[str, Any], line_of: Callable[[int], int | None]
) -> dict[str, Any]:
    """A pass's verdict tallies for one type of one column (the extras' "formats" entry) by
    format name: {"fits": {name: bool}, "ruled_out": {name: {"line", "text"}}}."""
    names = [f.name for f in type_spec.formats]
    ruled_out = {}
    for name, first in zip(names, found["ruled_out"], strict=True):
        if first is not None:
            offset, text = first
            ruled_out[name] = {"line": line_of(offset), "text": _text(text)}
    return {
        "fits": dict(zip(names, map(bool, found["fits"]), strict=True)),
        "ruled_out": ruled_out,
        "traits": {f.name: f.trait for f in type_spec.formats},
    }


def merged(parts: Sequence[Mapping[str, Any]]) -> dict[str, Any]:
    """The evidence of several files, in order: a format fits where it fits in every file,
    and is ruled out where a file first ruled it out."""
    fits: dict[str, bool] = {}
    ruled_out: dict[str, Any] = {}
    traits: dict[str, Any] = {}
    for part in parts:
        traits.update(part.get("traits", {}))
        for name, fit in part["fits"].items():
            fits[name] = fits.get(name, True) and fit
        for name, first in part["ruled_out"].items():
            ruled_out.setdefault(name, first)
    return {"fits": fits, "ruled_out": ruled_out, "traits": traits}


# The options that break a tie between formats, by what they match (Format.trait).
TIE_BREAKERS = {"date_order": "--date-order", "decimal_mark": "--decimal-mark"}


def decide(
    type_name: str, found: Mapping[str, Any], tie_breakers: Mapping[str, str] | None = None
) -> Verdict:
    """The verdict of the evidence for a column suggested as `type_name`. `tie_breakers`
    (option -> value, see TIE_BREAKERS) choose among the formats left, never past them."""
    left = [name for name, fit in found["fits"].items() if fit]
    traits = found.get("traits", {})
    if len(left) > 1 and tie_breakers:
        chosen = [name for name in left if traits.get(name) in tie_breakers.values()]
        if len(chosen) == 1:
            (option,) = [TIE_BREAKERS[o] for o, v in tie_breakers.items() if v == traits[chosen[0]]]
            note = f"{type_name}, {chosen[0]}: chosen by {option} {traits[chosen[0]]}"
            return Verdict(chosen[0], DECIDED, None, note)
    out = found["ruled_out"]
    if len(left) == 1:
        lines = [first["line"] for first in out.values() if first["line"] is not None]
        at = max(lines) if lines else None
        where = next((f for f in out.values() if f["line"] == at), None) if out else None
        note = f"{type_name}, {left[0]}" + (
            f": decided at line {at:,} ({where['text']})" if where and at is not None else ""
        )
        return Verdict(left[0], DECIDED, at, note)
    if left:
        settles = _settled_by(traits.get(name) for name in left)
        return Verdict(
            None, AMBIGUOUS, None,
            f"{type_name}: every field reads as {' and as '.join(left)}: kept as text{settles}",
        )  # fmt: skip
    shown = ", ".join(
        f"{name} (line {_line(first)}: {first['text']})" for name, first in out.items()
    )
    return Verdict(None, MIXED, None, f"{type_name}: no one format reads every field: {shown}")


def _settled_by(traits: Any) -> str:
    """What option would settle a tie between formats of these traits ("" for none)."""
    kinds = {"date_order" if t and len(t) == 3 else "decimal_mark" for t in traits if t}
    if len(kinds) != 1:
        return ""
    (kind,) = kinds
    return f" ({TIE_BREAKERS[kind]} settles it)"


def _line(first: Mapping[str, Any]) -> str:
    return "?" if first["line"] is None else f"{first['line']:,}"


def _text(text: bytes) -> str:
    shown = text.decode("utf-8", "backslashreplace")
    return shown if len(shown) <= SHOWN_TEXT else shown[: SHOWN_TEXT - 1] + "…"


@dataclass(frozen=True)
class Decided:
    """A column's suggestion once its formats are decided, with what decided them."""

    suggested: str
    notes: list[str]
    format: str | None = None
    verdict: str | None = None
    decided_at_line: int | None = None


def settle(
    suggested: str,
    notes: list[str],
    found: Mapping[str, Any] | None,
    tie_breakers: Mapping[str, str] | None = None,
) -> Decided:
    """The suggestion for a column whose evidence by type is `found`: a type with formats
    holds only where one format reads every field (or the tie-breakers choose one of those
    that do); otherwise the column is text."""
    if not found or suggested not in found:
        return Decided(suggested, notes)
    verdict = decide(suggested, found[suggested], tie_breakers)
    if verdict.verdict == DECIDED:
        return Decided(suggested, [*notes, verdict.note], verdict.format, DECIDED,
                       verdict.decided_at_line)  # fmt: skip
    return Decided(TEXT, [*notes, verdict.note], None, verdict.verdict)
