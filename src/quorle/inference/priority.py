"""Pattern tables whose earlier types win: overlapping types made mutually exclusive."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import replace

from .patterns import PatternTable, TypeSpec


def _has_backreference(expression: str) -> bool:
    # Guards put several expressions into one; their numbered groups would no
    # longer be the ones a back-reference means.
    i = 0
    while i < len(expression) - 1:
        if expression[i] != "\\":
            i += 1
            continue
        following = expression[i + 1]
        if following == "Q":  # quoted up to \E: no escapes inside
            end = expression.find("\\E", i + 2)
            i = len(expression) if end < 0 else end + 2
            continue
        if following in "123456789gk":
            return True
        i += 2
    return False


def guarded(expression: str, earlier: list[str]) -> str:
    """`expression` restricted to the fields none of `earlier` matches whole.

    `\\z` rather than `$`: `$` also matches before a final newline, which would
    let an earlier type claim "1\\n". The automaton builder recognises exactly
    this form and keeps it off the slow path.
    """
    if not earlier:
        return expression
    union = "|".join(f"(?:{e})" for e in earlier)
    return f"(?!(?:{union})\\z)(?:{expression})\\z"


def exclusive(
    table: PatternTable, overlaps: Iterable[tuple[str, str]] | None = None
) -> PatternTable:
    """The table rewritten so that a text matches at most one type: the first listed.

    `overlaps`: the pairs of types that can match the same text, as the engine
    reports them; a type is then guarded only by the earlier types it overlaps,
    which keeps the guards small enough for the automaton builder. None guards
    each type by every earlier one. ValueError when an expression that would be
    combined uses a back-reference.
    """
    pairs = None if overlaps is None else {frozenset(pair) for pair in overlaps}
    type_specs: list[TypeSpec] = []
    for position, type_spec in enumerate(table):
        # Guarding by the earlier types as written is enough: what they claim
        # after their own guards is the union of them all the same.
        earlier = [
            expression
            for prior in list(table)[:position]
            if pairs is None or frozenset((prior.name, type_spec.name)) in pairs
            for expression in prior.expressions
        ]
        combined = type_spec.expressions + tuple(earlier) if earlier else ()
        for expression in combined:
            if _has_backreference(expression):
                raise ValueError(
                    f"type {type_spec.name!r}: with priority, expressions cannot use "
                    f"back-references ({expression!r})"
                )
        type_specs.append(
            replace(
                type_spec, expressions=tuple(guarded(e, earlier) for e in type_spec.expressions)
            )
        )
    return PatternTable(type_specs)
