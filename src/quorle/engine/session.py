"""The one place the package makes an engine session: keyword arguments in place of the
engine's eight positional ones, with the settings the package never uses left off."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence

import quorle_ext


def new_session(
    path: str | bytes = "",
    *,
    delimiter: str = ",",
    patterns: Mapping[str, Sequence[str]] | None = None,
    na_values: Iterable[str] = (),
    cache_window: int = 0,
) -> quorle_ext.Inf:
    """A session on `path` (str, or the bytes the OS gave) that reads sequentially and writes
    no types file. A pattern that does not compile raises as the engine does."""
    table = {name: list(expressions) for name, expressions in (patterns or {}).items()}
    return quorle_ext.Inf(path, delimiter, table, set(na_values), False, False, "", cache_window)
