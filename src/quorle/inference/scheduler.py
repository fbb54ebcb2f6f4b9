"""How a run over many files schedules its passes: files in calls (small ones batched) on an
executor, outcomes as they finish, a call whose worker died split and retried, a broken
executor replaced."""

from __future__ import annotations

import contextlib
import os
import stat
from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import FIRST_COMPLETED, BrokenExecutor, Executor, Future, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from ..engine.sources import STDIN_DEVICE
from .hygiene import own_descriptor
from .options import Options
from .outcomes import (
    UNREADABLE,
    WORKER_DIED,
    FileError,
    describe,
    infer_batch,
    infer_one,
    stdin_outcome,
)
from .pool import cores, end_strays, is_broken, process_pool, signals_held, stop_workers

# Files waiting in our own pool per worker: enough to keep every worker busy while the parent
# collects a result, few enough that a pool broken by a dying worker takes few bystanders with it.
QUEUED_PER_WORKER = 2
# How often a run looks for calls that a breaking pool lost (see ManyRun._lost).
LOST_CALL_POLL_SECONDS = 1.0
# A file is tried at most this often; the second try runs alone so a death is blamed exactly.
MAX_ATTEMPTS = 2
# Files smaller than this go to workers in batches: their pass costs less than a round trip.
BATCH_BELOW_BYTES = 1 << 20
MAX_BATCH_FILES = 64
# Batches per worker at least, so that the workers finish at about the same time.
BATCHES_PER_WORKER = 4


Outcome = Any  # FileResult or FileError
Unit = tuple[int, ...]  # the indices of the files one call reads


def share(files: int, jobs: int) -> tuple[int, int]:
    """Workers, and threads per file, for `files` files on `jobs` cores."""
    if files >= jobs:
        return jobs, 1
    return max(files, 1), jobs // max(files, 1)


def batches(sizes: list[int | None], workers: int) -> list[Unit]:
    """The files by index in calls, in order: a file of BATCH_BELOW_BYTES or more (or of
    unknown size) alone, smaller ones together, at least BATCHES_PER_WORKER calls per worker."""
    small = sum(1 for size in sizes if size is not None and size < BATCH_BELOW_BYTES)
    per_batch = max(1, min(MAX_BATCH_FILES, small // (workers * BATCHES_PER_WORKER)))
    units: list[Unit] = []
    batch: list[int] = []
    for index, size in enumerate(sizes):
        if size is None or size >= BATCH_BELOW_BYTES:
            units.append((index,))
            continue
        batch.append(index)
        if len(batch) == per_batch:
            units.append(tuple(batch))
            batch = []
    if batch:
        units.append(tuple(batch))
    return units


def _regular_size(path: str) -> int | None:
    try:
        info = os.stat(path)
    except OSError:
        return None  # reported by its pass, or the file lives on the cluster's machines only
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _local_files(paths: list[str], sizes: list[int | None]) -> dict[int, FileError]:
    """The paths that are descriptors of this process, by index: a worker that opened the
    same path would read its own descriptor, silently the wrong input. `sizes`: each path's
    size if it is a regular file, else None."""
    folders: dict[str, bool] = {}
    why = "a descriptor of this process, which a worker cannot read"
    return {
        i: FileError(path, UNREADABLE, why)
        for i, (path, size) in enumerate(zip(paths, sizes, strict=True))
        if own_descriptor(path, size is not None, folders)
    }


class ManyRun:
    """Runs `infer_one` over `paths` and yields (index, outcome) as files finish.

    With `executor=None` the run owns a process pool within `jobs` (default: one per core;
    see `share`) and stops it on exit; a foreign executor is only asked to cancel what is
    still queued, and reads each file on one thread. Small files go out in batches. A call
    that raises instead of returning (its worker died) is split and each of its files tried
    once more, alone, so that a second death is blamed on its own file; a broken executor is
    replaced by a fresh pool of our own.
    """

    def __init__(
        self,
        paths: list[str],
        options: Options,
        *,
        executor: Executor | None = None,
        jobs: int | None = None,
    ) -> None:
        self._paths = paths
        # Read here, first: stdin is this process's own, and can be read only once.
        self._stdin = [i for i, p in enumerate(paths) if p == STDIN_DEVICE]
        if len(self._stdin) > 1:
            raise ValueError(f"{STDIN_DEVICE} can be named only once: it can be read only once")
        self._own = executor is None
        self._workers, threads = share(max(len(paths) - len(self._stdin), 1), jobs or cores())
        if not self._own:
            self._workers, threads = jobs or cores(), 1
        self._options = options.replace(jobs=threads, executor=None)
        self._executor: Executor = executor if executor is not None else process_pool(self._workers)
        # Decided here, never sent to a worker.
        sizes = [None if i in self._stdin else _regular_size(p) for i, p in enumerate(paths)]
        self._local: dict[int, Outcome] = dict(_local_files(paths, sizes))
        self._local.update((i, None) for i in self._stdin)
        units = batches(
            [None if i in self._local else s for i, s in enumerate(sizes)], self._workers
        )
        self._waiting: deque[Unit] = deque(u for u in units if u[0] not in self._local)
        self._retries: deque[int] = deque()
        self._attempts = [0] * len(paths)
        # Each call with its files' indices and the executor it went to.
        self._in_flight: dict[Future, tuple[Unit, Executor]] = {}
        self._closed = False

    @property
    def attempts(self) -> list[int]:
        """How often each file has been sent to a worker."""
        return list(self._attempts)

    def __enter__(self) -> ManyRun:
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self.close(abort=exc_type is not None)

    def __iter__(self) -> Iterator[tuple[int, Outcome]]:
        """(index, outcome) as files finish."""
        for index in self._stdin:
            self._local[index] = stdin_outcome(self._options)
        yield from self._local.items()
        while self._waiting or self._retries or self._in_flight:
            self._submit_more()
            in_flight = list(self._in_flight)
            done, _ = wait(in_flight, LOST_CALL_POLL_SECONDS, return_when=FIRST_COMPLETED)
            for future in done:
                unit, executor = self._in_flight.pop(future)
                yield from self._outcomes(unit, future, executor)
            for future in self._lost(in_flight):
                unit, executor = self._in_flight.pop(future)
                if executor is self._executor:
                    self._replace_executor()
                yield from self._failed(unit, BrokenProcessPool("its pool broke as it was sent"))

    def _lost(self, futures: list[Future]) -> list[Future]:
        """Calls that will never finish: a pool breaking fails the calls it holds, but one
        sent in that moment (the pool has no lock for it) is added after, and left pending."""
        return [
            f for f in futures
            if f in self._in_flight and not f.done() and is_broken(self._in_flight[f][1])
        ]  # fmt: skip

    def ordered(
        self, *, strict: bool = False, arrived: Callable[[int], None] | None = None
    ) -> Iterator[tuple[int, Outcome]]:
        """(index, outcome) in input order, each as soon as every file before it is in;
        `arrived(index)` hears of each file as it finishes. With `strict`, the first file
        that fails ends the run: the workers are stopped, and the outcomes already in
        follow in input order, that failure among them."""
        done: dict[int, Outcome] = {}
        following = 0
        for index, outcome in self:
            if arrived is not None:
                arrived(index)
            done[index] = outcome
            if strict and isinstance(outcome, FileError):
                self.close(abort=True)
                yield from sorted(done.items())
                return
            while following in done:
                yield following, done.pop(following)
                following += 1

    def close(self, *, abort: bool = False) -> None:
        """Cancels what has not started; with `abort`, also ends our own running workers."""
        if self._closed:
            return
        self._closed = True
        if self._own and abort:
            # Ending the workers fails every call still in the pool. A call cancelled first
            # would stop the pool's own thread short, with workers left running.
            stop_workers(self._executor)  # type: ignore[arg-type]
        else:
            for future in self._in_flight:
                future.cancel()
        if self._own:
            if is_broken(self._executor):
                end_strays(self._executor)  # type: ignore[arg-type]
            self._executor.shutdown(wait=True)

    def _submit_more(self) -> None:
        if self._retries:
            # A retry runs alone: nothing else may die beside it and share the blame.
            if not self._in_flight:
                self._submit((self._retries.popleft(),))
            return
        limit = self._workers * QUEUED_PER_WORKER if self._own else len(self._paths)
        while self._waiting and len(self._in_flight) < limit:
            self._submit(self._waiting.popleft())

    def _call(self, unit: Unit) -> tuple[Any, ...]:
        if len(unit) > 1:
            return (infer_batch, [self._paths[i] for i in unit], self._options)
        (index,) = unit
        return (infer_one, self._paths[index], self._options, self._attempts[index])

    def _submit(self, unit: Unit) -> None:
        for index in unit:
            self._attempts[index] += 1
        call = self._call(unit)
        try:
            future = self._send(call)
        except (BrokenExecutor, OSError) as exc:
            # A worker's death breaks the pool on the pool's own thread, without a lock; a submit
            # that starts a worker in that moment meets closed pipes and raises OSError instead.
            if isinstance(exc, OSError) and not (self._own and is_broken(self._executor)):
                raise
            self._replace_executor()
            future = self._send(call)
        self._in_flight[future] = (unit, self._executor)

    def _send(self, call: tuple[Any, ...]) -> Future:
        # Our pool starts its workers in submit; a foreign executor may block on a network.
        with signals_held() if self._own else contextlib.nullcontext():
            return self._executor.submit(*call)

    def _outcomes(
        self, unit: Unit, future: Future, executor: Executor
    ) -> list[tuple[int, Outcome]]:
        """The outcomes of the call's files; none for those that go back for a retry."""
        try:
            result = future.result()
        except Exception as exc:
            if isinstance(exc, BrokenExecutor) and executor is self._executor:
                self._replace_executor()
            return self._failed(unit, exc)
        return list(zip(unit, result, strict=True)) if len(unit) > 1 else [(unit[0], result)]

    def _failed(self, unit: Unit, exc: Exception) -> list[tuple[int, Outcome]]:
        given_up = []
        for index in unit:
            if self._attempts[index] < MAX_ATTEMPTS:
                self._retries.append(index)
                continue
            message = f"the worker reading it stopped, twice ({describe(exc)})"
            given_up.append((index, FileError(self._paths[index], WORKER_DIED, message)))
        return given_up

    def _replace_executor(self) -> None:
        """A pool whose worker died takes no more work; go on with a fresh pool of our own."""
        if self._own:
            self._executor.shutdown(wait=False)
            end_strays(self._executor)  # type: ignore[arg-type]
        self._own = True
        self._executor = process_pool(self._workers)
