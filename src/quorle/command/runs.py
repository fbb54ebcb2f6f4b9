"""The passes a command runs over its files: one after another in this process (a large
file with a progress bar on a terminal), or spread over a process pool or any executor, the
outcomes always in input order."""

from __future__ import annotations

import os
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from concurrent.futures import Executor

import quorle_ext

from ..engine import archives, sources
from ..inference import hygiene
from ..inference.api import infer_checked
from ..inference.options import Options
from ..inference.outcomes import FileError, FileFailedError
from ..inference.result import FileResult
from ..inference.scheduler import ManyRun
from ..loading.progress import ProgressBar
from .progress import FilesProgress

# From this size a file's pass shows a progress bar when stderr is a terminal; smaller files
# are done before one would be seen.
LARGE_BYTES = 4 * 1024 * 1024
# Seconds between redraws of the progress bar.
BAR_SECONDS = 0.1


def shown(path: str) -> str:
    return sources.STDIN_NAME if path == sources.STDIN_DEVICE else path


def _analyse_one(path: str, options: Options, types_file: str | None) -> FileResult:
    """The pass runs in this process, on its main thread, where the engine runs the stop
    signals' handlers between blocks."""
    file = archives.locate(path)[0]
    regular = hygiene.check_input(file)
    if not regular or options.executor is not None or not sys.stderr.isatty():
        return infer_checked(path, options, types_file)
    size = os.stat(file).st_size
    # A small compressed file may hold any amount of text: it gets a bar too.
    if size < LARGE_BYTES and not sources.is_compressed(file):
        return infer_checked(path, options, types_file)
    bar = ProgressBar(hygiene.printable(shown(path)), size, sys.stderr)
    progress = quorle_ext._Progress()
    done = threading.Event()

    def draw() -> None:
        while not done.wait(BAR_SECONDS):
            bar.update(min(progress.bytes_read, size))

    bar.update(0)
    drawer = threading.Thread(target=draw, name="quorle-progress", daemon=True)
    drawer.start()
    try:
        return infer_checked(path, options, types_file, progress)
    finally:
        done.set()
        drawer.join()
        bar.close()


def analyse(
    paths: Sequence[str], options: Options, types_file: str | None = None
) -> Iterator[tuple[str, FileResult | Exception, float]]:
    """Each file's report (or the error it failed with) and the seconds it took; the field
    types written to `types_file` if given (one file)."""
    for path in paths:
        start = time.perf_counter()
        try:
            outcome: FileResult | Exception = _analyse_one(path, options, types_file)
        except (OSError, ValueError, RuntimeError) as e:
            outcome = e
        yield shown(path), outcome, time.perf_counter() - start


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # reported by the pass, or the file lives on the cluster's machines only


def analyse_many(
    paths: list[str],
    options: Options,
    *,
    executor: Executor | None = None,
    jobs: int | None = None,
    strict: bool = False,
) -> Iterator[tuple[str, FileResult | Exception, None]]:
    """Like `analyse`, with the passes spread over our own pool within `jobs` (or
    `executor`), the outcomes still in input order; no time per file. With `strict`, the
    first failure ends the run (outcomes already in are still given)."""
    bar = FilesProgress([_size(p) for p in paths], sys.stderr) if sys.stderr.isatty() else None
    if bar is not None:
        bar.draw()  # at once: the first file may take a while
    try:
        arrived = bar.done if bar is not None else None
        with ManyRun(paths, options, executor=executor, jobs=jobs) as run:
            for index, outcome in run.ordered(strict=strict, arrived=arrived):
                if bar is not None:
                    bar.clear()
                yield shown(paths[index]), _as_exception(outcome), None
    finally:
        if bar is not None:
            bar.close()


def _as_exception(outcome: FileResult | FileError) -> FileResult | Exception:
    return FileFailedError(outcome) if isinstance(outcome, FileError) else outcome
