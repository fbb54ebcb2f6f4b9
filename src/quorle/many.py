"""Type inference over many files at once: one independent pass per file, spread over an executor.

Every file is read by a fresh engine session in whichever process the executor picks, so no state
(the value cache, the numbering of untitled columns) passes between files and no worker needs to
share anything with another; only the compiled table is kept per process. Small files travel in
batches, so that a task's round trip is paid once for many. The parent only schedules, retries and
sums.
"""

from __future__ import annotations

import contextlib
import dataclasses
import glob
import multiprocessing
import multiprocessing.forkserver
import os
import signal
import stat
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, BrokenExecutor, Executor, Future, wait
from concurrent.futures.process import BrokenProcessPool, ProcessPoolExecutor
from dataclasses import dataclass, field
from multiprocessing import resource_tracker
from typing import Any

from . import archives
from ._groups import Group, sum_groups
from .hygiene import own_descriptor
from .options import Options, check_jobs
from .sources import STDIN_DEVICE, STDIN_NAME

MISSING = "missing"
FOLDER = "folder"
UNREADABLE = "unreadable"
FAILED = "failed"
CORRUPT = "corrupt"
WORKER_DIED = "worker died"

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
GLOB_CHARACTERS = "*?["
# Signals whose Python handlers may stop a run by raising; held back while our pool starts
# a worker (see `_signals_held`).
HELD_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
)
# What a terminal sends its foreground group, the pool's helpers and workers included.
TERMINAL_SIGNALS = {getattr(signal, name) for name in ("SIGINT", "SIGHUP") if hasattr(signal, name)}


@dataclass(frozen=True)
class FileError:
    """Why one file has no result. `kind` is one of MISSING, FOLDER, UNREADABLE, CORRUPT (a
    compressed stream damaged or cut short, or bytes not in the file's encoding), FAILED and
    WORKER_DIED; `message` says what went wrong in words."""

    path: str
    kind: str
    message: str

    def to_dict(self) -> dict[str, str]:
        return {"path": self.path, "error": self.kind, "message": self.message}


class FileFailedError(RuntimeError):
    """Raised by `infer_many(..., strict=True)` for the first file that fails."""

    def __init__(self, error: FileError) -> None:
        super().__init__(f"{error.path}: {error.kind}: {error.message}")
        self.error = error


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
    return ManyResult(files, sum_groups(files, checked.table.widening()))


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


def infer_one(path: str, options: Options, attempt: int = 1) -> Any:
    """One file's pass, run in a worker: a FileResult, or a FileError saying why there is none.

    `attempt` only makes a retry a distinct call for executors that merge identical calls.
    """
    del attempt
    from .api import infer_checked

    try:
        return infer_checked(path, options)
    except OSError as exc:
        return _os_error(path, exc)
    except Exception as exc:
        return FileError(path, FAILED, _without_path(path, str(exc)) or _describe(exc))


def infer_batch(paths: list[str], options: Options) -> list[Any]:
    """Several small files' passes in one task, each outcome as `infer_one` gives it."""
    return [infer_one(path, options) for path in paths]


def _without_path(path: str, message: str) -> str:
    # The package's errors start with the path, which FileError holds on its own.
    prefix = f"{path}: "
    return message[len(prefix) :] if message.startswith(prefix) else message


def _os_error(path: str, exc: OSError) -> FileError:
    message = exc.strerror or _without_path(path, str(exc))
    if isinstance(exc, _input_error()) and " at byte " in message:
        return FileError(path, CORRUPT, message)
    if isinstance(exc, IsADirectoryError):
        return FileError(path, FOLDER, message)
    if isinstance(exc, FileNotFoundError):
        if os.path.islink(path):
            message = f"dangling symbolic link to {os.readlink(path)}"
        return FileError(path, MISSING, message)
    return FileError(path, UNREADABLE, message)


def _input_error() -> type[OSError]:
    import quorle_ext

    return quorle_ext._InputError


def _describe(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


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


def _is_broken(pool: Executor) -> bool:
    """Whether our process pool has been marked broken (its flag is set before its pipes
    are closed)."""
    return bool(getattr(pool, "_broken", False))


def _stdin_outcome(options: Options) -> Outcome:
    outcome = infer_one(STDIN_DEVICE, options)
    if isinstance(outcome, FileError):
        return dataclasses.replace(outcome, path=STDIN_NAME)
    return outcome


def _is_file(path: str) -> bool:
    return os.path.isfile(path) or (os.path.islink(path) and not os.path.exists(path))


def cores() -> int:
    """Cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def process_pool(workers: int | None = None) -> ProcessPoolExecutor:
    """A process pool whose workers start without a copy of the parent (never fork once threads
    exist) and leave Ctrl-C to the parent, which stops them."""
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    if "forkserver" in methods:
        # Workers then fork from a server that has the engine loaded already.
        context.set_forkserver_preload([__name__])
    # A stop signal inside the pool's set-up could come between a semaphore's creation and
    # the record that removes it at exit; the tracker then warns of a leak as the command ends.
    with _signals_held():
        _start_helpers("forkserver" in methods)
        return ProcessPoolExecutor(
            max_workers=workers or cores(), mp_context=context, initializer=_ignore_interrupts
        )


def _start_helpers(forkserver: bool) -> None:
    """Starts the pool's resource tracker and process server with a terminal's stop signals
    (Ctrl-C, hangup) blocked, which they and every worker they fork inherit: a terminal sends
    them to its whole foreground group, and the command ends the helpers and their workers
    itself. A helper stopped first prints a traceback, or is started again and prints
    tracebacks about what it never saw. Called with the stop signals' handlers held back."""
    if not hasattr(signal, "pthread_sigmask"):
        return  # no such signals; the pool starts its helpers when it needs them
    # One block per helper: the tracker's start unblocks Ctrl-C on its way out.
    _start_blocked(resource_tracker.ensure_running)
    if forkserver:
        _start_blocked(multiprocessing.forkserver.ensure_running)


def _start_blocked(start: Callable[[], None]) -> None:
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, TERMINAL_SIGNALS)
    try:
        start()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Runs the block with the stop signals' Python handlers held back, then runs them for
    the signals that arrived. A submit may start a worker: a handler that raised between its
    start and the pool's record of it would leave a worker that nothing stops, and whose start
    fails with a traceback once this process is gone and its semaphores with it."""
    if threading.current_thread() is not threading.main_thread():
        yield  # handlers run in the main thread only, and only it may swap them
        return
    arrived: list[int] = []
    previous = {}
    for signum in HELD_SIGNALS:
        if callable(signal.getsignal(signum)):
            previous[signum] = signal.signal(signum, lambda signum, _: arrived.append(signum))
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        for signum in arrived:
            signal.raise_signal(signum)


def _ignore_interrupts() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    """Ends the pool's worker processes now, running work included."""
    terminate = getattr(pool, "terminate_workers", None)
    if terminate is not None:
        terminate()
        return
    processes = _workers_of(pool)
    for process in processes:
        process.terminate()
    for process in processes:
        process.join()


def _end_strays(pool: ProcessPoolExecutor) -> None:
    """Kills the broken pool's workers still running. A worker that a submit started as the
    pool broke (it has no lock for that) is never told to stop, and the pool's own thread,
    and so the interpreter's exit, would wait for it forever."""
    for process in _workers_of(pool):
        with contextlib.suppress(ValueError):  # a process object already closed
            process.kill()


def _workers_of(pool: ProcessPoolExecutor) -> list[Any]:
    # Before Python 3.14 the pool only exposes its processes privately.
    return list((getattr(pool, "_processes", None) or {}).values())


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
            self._local[index] = _stdin_outcome(self._options)
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
            if f in self._in_flight and not f.done() and _is_broken(self._in_flight[f][1])
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
            _stop_workers(self._executor)  # type: ignore[arg-type]
        else:
            for future in self._in_flight:
                future.cancel()
        if self._own:
            if _is_broken(self._executor):
                _end_strays(self._executor)  # type: ignore[arg-type]
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
            if isinstance(exc, OSError) and not (self._own and _is_broken(self._executor)):
                raise
            self._replace_executor()
            future = self._send(call)
        self._in_flight[future] = (unit, self._executor)

    def _send(self, call: tuple[Any, ...]) -> Future:
        # Our pool starts its workers in submit; a foreign executor may block on a network.
        with _signals_held() if self._own else contextlib.nullcontext():
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
            message = f"the worker reading it stopped, twice ({_describe(exc)})"
            given_up.append((index, FileError(self._paths[index], WORKER_DIED, message)))
        return given_up

    def _replace_executor(self) -> None:
        """A pool whose worker died takes no more work; go on with a fresh pool of our own."""
        if self._own:
            self._executor.shutdown(wait=False)
            _end_strays(self._executor)  # type: ignore[arg-type]
        self._own = True
        self._executor = process_pool(self._workers)
