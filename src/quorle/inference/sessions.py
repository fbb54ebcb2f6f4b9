"""Engine sessions for a pass, their compiled table kept per process.

Compiling a table (its expressions and automata) costs tens of milliseconds, more than a pass
over a small file. A process keeps one prototype session per table and set of options, and
every pass starts from a copy of it that shares the compiled table and nothing else: an empty
value cache, fresh numbering of untitled columns, no results.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from dataclasses import dataclass

import quorle_ext

from ..engine.session import new_session
from .numbers import numeric_checks
from .patterns import PatternTable
from .priority import exclusive

# Tables kept per process; a run rarely uses more than one or two.
MAX_PROTOTYPES = 8


@dataclass(frozen=True)
class PassOptions:
    """What a pass needs besides its file, checked and picklable, so that a worker on
    another machine can build the same session. `examples`: example texts kept per column
    and kind of field (0: row widths and longest fields only). `encoding`: the C library's
    name of the text's encoding ("" for UTF-8); compressed input is always decompressed.
    `comment`: the mark of comment lines ("" for none)."""

    table: PatternTable
    na_values: frozenset[str]
    window: int
    priority: bool
    delimiter: str
    examples: int
    encoding: str = ""
    # How rows are read (the engine's reading settings): see Options.
    header: bool = True
    skip_lines: int = 0
    comment: str = ""
    skip_blank_lines: bool = False


@dataclass(frozen=True)
class Prototype:
    """A session with its table compiled, and the pairs of the table's types that can match
    the same text (None: the engine could not decide)."""

    session: quorle_ext.Inf
    overlaps: list[tuple[str, str]] | None


_prototypes: OrderedDict[tuple, Prototype] = OrderedDict()
_lock = threading.Lock()


def _key(options: PassOptions) -> tuple:
    sources = tuple(
        (name, tuple(expressions)) for name, expressions in options.table.sources().items()
    )
    return (sources, options.na_values, options.window, options.priority)


def _compile(options: PassOptions) -> Prototype:
    inf = new_session(
        patterns=options.table.sources(), na_values=options.na_values, cache_window=options.window
    )
    overlaps = inf._type_overlaps()
    if options.priority:
        # The engine gets the rewritten table, guarded only where types overlap
        # so that its automata stay small; results keep the user's names.
        inf.set_col_type_patterns(exclusive(options.table, overlaps).sources())
    # Each column decides between a type's formats as the pass reads it.
    inf._set_formats({t.name: [f.as_dict() for f in t.formats] for t in options.table if t.formats})
    return Prototype(inf, overlaps)


def prototype(options: PassOptions) -> Prototype:
    """The process's prototype for these options, compiled on first use."""
    key = _key(options)
    with _lock:
        found = _prototypes.get(key)
        if found is not None:
            _prototypes.move_to_end(key)
            return found
    built = _compile(options)
    with _lock:
        _prototypes[key] = built
        while len(_prototypes) > MAX_PROTOTYPES:
            _prototypes.popitem(last=False)
    return built


def open_session(
    options: PassOptions, path: str, types_path: str | None = None, member: str = ""
) -> tuple[quorle_ext.Inf, Prototype]:
    """A new session on `path` with the options' compiled table, and its prototype.
    `types_path`: also write every field's type there. `member`: the member of the zip
    archive at `path` that the pass reads."""
    proto = prototype(options)
    # Paths go to the engine as the bytes the OS gave: a name need not be UTF-8.
    inf = proto.session._fresh(os.fsencode(path))
    inf.set_delimiter(options.delimiter)
    if types_path is not None:
        inf.set_save_types_file(True)
        inf.set_types_filepath(os.fsencode(types_path))
    inf._set_extras(options.examples)
    # Whether SQLite can store the column's numbers as numbers, decided during the pass.
    inf._set_numeric_checks(*numeric_checks(options.table))
    inf._set_input(True, options.encoding, os.fsencode(member))
    inf._set_reading(options.skip_blank_lines, options.header, options.skip_lines, options.comment)
    return inf, proto
