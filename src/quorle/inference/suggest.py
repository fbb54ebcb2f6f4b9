"""The one rule that turns a column's counts into a suggested type and notes."""

from __future__ import annotations

from collections.abc import Mapping, Sequence

from .patterns import IMPLIED_WIDENING, NA, OTHER, TEXT

# The suggestion for a column with no field that is not missing.
EMPTY = "empty"
# A share in tenths of a percent, and the smallest share a note shows.
TENTHS_IN_ALL = 1000
LEAST_SHOWN = 0.1


def percent(part: int, whole: int) -> str:
    """A share rounded half up to a tenth of a percent. A share that is neither none nor all
    never reads as 0% or 100%: it reads "<0.1%" or ">99.9%"."""
    tenths = (2000 * part + whole) // (2 * whole)
    if part and tenths == 0:
        return f"<{LEAST_SHOWN}%"
    if part < whole and tenths == TENTHS_IN_ALL:
        return f">{100 - LEAST_SHOWN}%"
    return f"{tenths // 10}.{tenths % 10}%" if tenths % 10 else f"{tenths // 10}%"


def widens_to(start: str, widening: Mapping[str, Sequence[str]]) -> set[str]:
    """Every type `start` widens to, itself included, following chains."""
    seen = {start}
    todo = [start]
    while todo:
        for wider in widening.get(todo.pop(), ()):
            if wider not in seen:
                seen.add(wider)
                todo.append(wider)
    return seen


def _reach(start: str, widening: Mapping[str, Sequence[str]]) -> set[str]:
    """Every type `start` widens to, itself and text included."""
    return widens_to(start, widening) | {TEXT}


def _widen(present: Sequence[str], widening: Mapping[str, Sequence[str]]) -> str:
    """The narrowest type every present type widens to; "other" widens only to text."""
    if OTHER in present:
        return TEXT
    reach = {name: _reach(name, widening) for name in present}
    common = set.intersection(*reach.values())
    # Candidates in a fixed order: present types first, then their targets.
    order = list(present) + [w for name in present for w in widening.get(name, ())] + [TEXT]
    candidates = [name for name in dict.fromkeys(order) if name in common]
    for name in candidates:
        # The narrowest candidate widens to every other one.
        if all(other in _reach(name, widening) for other in candidates):
            return name
    return candidates[0]


def suggest(
    counts: Mapping[str, int], widening: Mapping[str, Sequence[str]] | None = None
) -> tuple[str, list[str]]:
    """Suggests one type for a column from its counts by type, "other" and "NA".

    Missing values are set aside. One type left is the suggestion. Several types
    widen to the narrowest type they all widen to (`widening` maps a type to the
    types it widens to; by default integer widens to decimal); every type widens to
    text, and "other" to text only. An empty column is "empty". Notes say when a
    column is mixed or mostly missing.
    """
    widening = IMPLIED_WIDENING if widening is None else widening
    total = sum(counts.values())
    missing = counts.get(NA, 0)
    present = {name: n for name, n in counts.items() if name != NA and n > 0}
    if not present:
        if not total:
            return EMPTY, ["no data"]
        return EMPTY, ["the only field is missing" if total == 1 else f"all {total} fields missing"]

    # Largest first, so that notes read in order of weight and ties do not
    # depend on the order of the counts.
    ranked = sorted(present, key=lambda name: (-present[name], name == OTHER, name))
    notes = []
    if len(ranked) == 1:
        suggested = ranked[0]
        if suggested == OTHER:
            suggested = TEXT
    else:
        suggested = _widen(ranked, widening)
        non_missing = sum(present.values())
        shares = ", ".join(f"{name} {percent(present[name], non_missing)}" for name in ranked)
        notes.append(f"mixed: {shares} of non-missing")
    if 2 * missing > total:
        notes.append(f"mostly missing: NA is {percent(missing, total)}")
    return suggested, notes
