"""Type inference over many files at once: one independent pass per file, spread over an executor.

Every file is read by a fresh engine session in whichever process the executor picks, so no state
(the value cache, the numbering of untitled columns) passes between files and no worker needs to
share anything with another; only the compiled table is kept per process. Small files travel in
batches, so that a task's round trip is paid once for many. The parent only schedules, retries and
sums.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Callable, Iterable
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import Any

from ..engine import archives
from .groups import Group, sum_groups
from .options import Options, check_jobs
from .outcomes import FileError, FileFailedError
from .scheduler import ManyRun

GLOB_CHARACTERS = "*?["


@dataclass(frozen=True)
class ManyResult:
    """`files` holds one FileResult or FileError per input path, in input order; `groups` one
    Group per distinct header, in order of first appearance."""

    files: list[Any]
    groups: list[Group] = field(default_factory=list)

    @property
    def errors(self) -> list[FileError]:
        return [f for f in self.files if isinstance(f, FileError)]

    def to_dict(self) -> dict[str, Any]:
        return {
            "files": [f.to_dict() for f in self.files],
            "groups": [g.to_dict() for g in self.groups],
        }


def infer_many(
    paths: Iterable[str | os.PathLike[str]],
    *,
    executor: Executor | None = None,
    jobs: int | None = None,
    strict: bool = False,
    **options: Any,
) -> ManyResult:
    """Infer the column types of every file in `paths`, each in its own pass, in parallel.

    `options` are those of `quorle.infer` and are checked once, before any file is read.
    `executor` is any concurrent.futures.Executor, whose tasks read one file on one thread
    each; the default is a process pool. `jobs` caps the processes and threads of the whole
    run (default: one per core): with as many files as jobs or more, that many workers read a
    file each on one thread; with fewer, each file gets about jobs / files threads. A file that
    fails becomes a FileError and the others go on, unless `strict` is set: then the first
    failure raises FileFailedError and the rest are cancelled.
    """
    checked = check_options(options, executor=executor, jobs=jobs)
    names = [os.fsdecode(p) for p in paths]
    files: list[Any] = [None] * len(names)
    with ManyRun(names, checked, executor=executor, jobs=jobs) as run:
        for index, outcome in run.ordered(strict=strict):
            if strict and isinstance(outcome, FileError):
                raise FileFailedError(outcome)
            files[index] = outcome
    return ManyResult(files, sum_groups(files, checked.table.widening(), checked.tie_breakers))


# infer's options that would make files share an output, which many passes cannot do.
PER_FILE_ONLY = ("types_file",)
# infer's options for spreading one file, which the run sets for every file itself.
RUN_WIDE = ("jobs", "executor", "chunk_size")


def check_options(
    options: dict[str, Any], *, executor: Executor | None = None, jobs: int | None = None
) -> Options:
    """`quorle.infer`'s options for every file of a run, checked once (every expression
    compiled, a pattern file read once) and ready to send to workers that may be on other
    machines. `executor` and `jobs` are the run's, checked with them."""
    shared = [name for name in PER_FILE_ONLY if options.get(name) is not None]
    if shared:
        raise TypeError(f"infer_many() does not take {', '.join(shared)}: it is per file")
    spread = [name for name in RUN_WIDE if name in options]
    if spread:
        raise TypeError(f"infer_many() does not take {', '.join(spread)} among a pass's options")
    if executor is not None and jobs is not None:
        raise ValueError("give jobs or an executor, not both: jobs sizes our own process pool")
    check_jobs(jobs)
    try:
        return Options(**{k: v for k, v in options.items() if k not in PER_FILE_ONLY})
    except TypeError as e:
        raise TypeError(f"infer_many() {str(e).partition('() ')[2] or e}") from None


def expand_paths(args: Iterable[str], warn: Callable[[str, str], None] | None = None) -> list[str]:
    """The files that command-line arguments name, in order: a folder stands for the files in
    it (not subfolders or hidden files), a glob for the files it matches, each sorted by name;
    anything else is kept as given, so that a path that is not there is reported. A zip
    archive among them stands for its .csv, .tsv and .txt members, named ARCHIVE:MEMBER;
    `warn(archive, message)` hears of its other members (see archives.expand).

    "Files" are regular files, and dangling links so that a broken export is reported rather
    than skipped; pipes and devices are read only when named on their own.
    """
    paths: list[str] = []
    for arg in args:
        if os.path.isdir(arg):
            with os.scandir(arg) as entries:
                names = sorted(e.name for e in entries if not e.name.startswith("."))
            matches = [os.path.join(arg, name) for name in names]
        elif any(c in arg for c in GLOB_CHARACTERS):
            matches = sorted(glob.glob(arg))
        else:
            paths.extend(archives.expand(arg, warn))
            continue
        files = [m for m in matches if _is_file(m)] or [arg]
        paths.extend(path for file in files for path in archives.expand(file, warn))
    return paths


def _is_file(path: str) -> bool:
    return os.path.isfile(path) or (os.path.islink(path) and not os.path.exists(path))
