"""Type inference over many files at once: one independent pass per file, spread over an executor.

Every file is read by a fresh engine object in whichever process the executor picks, so no state
(the value cache, the numbering of untitled columns) passes between files and no worker needs to
share anything with another. The parent only schedules, retries and sums.
"""

from __future__ import annotations

import glob
import inspect
import multiprocessing
import multiprocessing.forkserver
import os
import signal
import threading
from collections import deque
from collections.abc import Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, BrokenExecutor, Executor, Future, wait
from concurrent.futures.process import ProcessPoolExecutor
from dataclasses import dataclass, field
from multiprocessing import resource_tracker
from typing import Any

from ._groups import Group, sum_groups

MISSING = "missing"
FOLDER = "folder"
UNREADABLE = "unreadable"
FAILED = "failed"
CORRUPT = "corrupt"
WORKER_DIED = "worker died"

# Files waiting in our own pool per worker: enough to keep every worker busy while the parent
# collects a result, few enough that a pool broken by a dying worker takes few bystanders with it.
QUEUED_PER_WORKER = 2
# A file is tried at most this often; the second try runs alone so a death is blamed exactly.
MAX_ATTEMPTS = 2
GLOB_CHARACTERS = "*?["


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
    strict: bool = False,
    **options: Any,
) -> ManyResult:
    """Infer the column types of every file in `paths`, each in its own pass, in parallel.

    `options` are those of `quorle.infer` and are checked once, before any file is read.
    `executor` is any concurrent.futures.Executor; the default is a process pool with one
    worker per core. A file that fails becomes a FileError and the others go on, unless
    `strict` is set: then the first failure raises FileFailedError and the rest are cancelled.
    """
    checked = check_options(options)
    names = [os.fsdecode(p) for p in paths]
    files: list[Any] = [None] * len(names)
    with ManyRun(names, checked, executor=executor) as run:
        for index, outcome in run:
            if strict and isinstance(outcome, FileError):
                raise FileFailedError(outcome)
            files[index] = outcome
    return ManyResult(files, sum_groups(files, widening(checked)))


# infer's options that would make files share an output, which many passes cannot do.
PER_FILE_ONLY = ("types_file",)


def check_options(options: dict[str, Any]) -> dict[str, Any]:
    """`quorle.infer`'s options, checked once (names, window, delimiter, every expression
    compiled) and made ready to send to workers that may be on other machines: a pattern
    file is read and compiled here, once, and the checked table travels as it is."""
    from .api import check_window, infer
    from .hygiene import AUTO, check_delimiter
    from .patterns import resolve_patterns

    shared = [name for name in PER_FILE_ONLY if options.get(name) is not None]
    if shared:
        raise TypeError(f"infer_many() does not take {', '.join(shared)}: it is per file")
    checked = dict(inspect.signature(infer).bind("", **options).arguments)
    del checked["path"]
    if checked.get("patterns") is not None:
        checked["patterns"] = resolve_patterns(checked["patterns"])
    if "window" in checked:
        check_window(checked["window"])
    if checked.get("delimiter", AUTO) != AUTO:
        check_delimiter(checked["delimiter"])
    if checked.get("na_values") is not None:
        na_values = set(checked["na_values"])
        if not all(isinstance(v, str) for v in na_values):
            raise TypeError("na_values must be strings")
        checked["na_values"] = sorted(na_values)
    return checked


def widening(options: dict[str, Any]) -> dict[str, tuple[str, ...]]:
    """How the types of the checked options' table widen."""
    from .patterns import resolve_patterns

    return resolve_patterns(options.get("patterns")).widening()


def infer_one(path: str, options: dict[str, Any], attempt: int = 1) -> Any:
    """One file's pass, run in a worker: a FileResult, or a FileError saying why there is none.

    `attempt` only makes a retry a distinct call for executors that merge identical calls.
    """
    del attempt
    from .api import infer

    try:
        return infer(path, **options)
    except OSError as exc:
        return _os_error(path, exc)
    except Exception as exc:
        return FileError(path, FAILED, _without_path(path, str(exc)) or _describe(exc))


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


def expand_paths(args: Iterable[str]) -> list[str]:
    """The files that command-line arguments name, in order: a folder stands for the files in
    it (not subfolders or hidden files), a glob for the files it matches, each sorted by name;
    anything else is kept as given, so that a path that is not there is reported.

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
            paths.append(arg)
            continue
        paths.extend([m for m in matches if _is_file(m)] or [arg])
    return paths


def _local_only(path: str) -> FileError | None:
    """A descriptor of this process (/dev/stdin, a pipe from <(...)): a worker that opened
    the same path would read its own descriptor, silently the wrong input."""
    target = os.path.realpath(path)
    if target.startswith(f"/proc/{os.getpid()}/fd/"):
        return FileError(
            path, UNREADABLE, "a descriptor of this process, which a worker cannot read"
        )
    return None


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
    _start_helpers("forkserver" in methods)
    return ProcessPoolExecutor(
        max_workers=workers or cores(), mp_context=context, initializer=_ignore_interrupts
    )


def _start_helpers(forkserver: bool) -> None:
    """Starts the pool's resource tracker and process server ignoring SIGHUP, which a
    terminal's hangup sends to every process of its foreground group: the command ends
    them and their workers itself, and a tracker that died first would be started again
    and print tracebacks about what it never saw."""
    if not hasattr(signal, "SIGHUP") or threading.current_thread() is not threading.main_thread():
        return  # only the main thread may change a signal's handling
    previous = signal.signal(signal.SIGHUP, signal.SIG_IGN)
    try:
        resource_tracker.ensure_running()
        if forkserver:
            multiprocessing.forkserver.ensure_running()
    finally:
        signal.signal(signal.SIGHUP, previous)


def _ignore_interrupts() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    """Ends the pool's worker processes now, running work included."""
    terminate = getattr(pool, "terminate_workers", None)
    if terminate is not None:
        terminate()
        return
    # Before Python 3.14 the pool only exposes its processes privately.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        process.terminate()
    for process in processes:
        process.join()


Outcome = Any  # FileResult or FileError


class ManyRun:
    """Runs `infer_one` over `paths` and yields (index, outcome) as files finish.

    With `executor=None` the run owns a process pool of `jobs` workers (default: one per core)
    and stops it on exit; a foreign executor is only asked to cancel what is still queued.
    A call that raises instead of returning (its worker died) is tried once more, alone, so
    that a second death is blamed on its own file; a broken executor is replaced by a fresh
    pool of our own.
    """

    def __init__(
        self,
        paths: list[str],
        options: dict[str, Any],
        *,
        executor: Executor | None = None,
        jobs: int | None = None,
    ) -> None:
        self._paths = paths
        self._options = options
        self._jobs = jobs or cores()
        self._own = executor is None
        self._executor: Executor = executor if executor is not None else process_pool(self._jobs)
        # Decided here, never sent to a worker.
        self._local = {i: e for i, e in enumerate(map(_local_only, paths)) if e is not None}
        self._waiting: deque[int] = deque(i for i in range(len(paths)) if i not in self._local)
        self._retries: deque[int] = deque()
        self._attempts = [0] * len(paths)
        # Each call with its file's index and the executor it went to.
        self._in_flight: dict[Future, tuple[int, Executor]] = {}
        self._closed = False

    def __enter__(self) -> ManyRun:
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self.close(abort=exc_type is not None)

    def __iter__(self) -> Iterator[tuple[int, Outcome]]:
        yield from self._local.items()
        while self._waiting or self._retries or self._in_flight:
            self._submit_more()
            done, _ = wait(list(self._in_flight), return_when=FIRST_COMPLETED)
            for future in done:
                index, executor = self._in_flight.pop(future)
                outcome = self._outcome(index, future, executor)
                if outcome is not None:
                    yield index, outcome

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
            self._executor.shutdown(wait=True)

    def _submit_more(self) -> None:
        if self._retries:
            # A retry runs alone: nothing else may die beside it and share the blame.
            if not self._in_flight:
                self._submit(self._retries.popleft())
            return
        limit = self._jobs * QUEUED_PER_WORKER if self._own else len(self._paths)
        while self._waiting and len(self._in_flight) < limit:
            self._submit(self._waiting.popleft())

    def _submit(self, index: int) -> None:
        self._attempts[index] += 1
        args = (self._paths[index], self._options, self._attempts[index])
        try:
            future = self._executor.submit(infer_one, *args)
        except BrokenExecutor:
            self._replace_executor()
            future = self._executor.submit(infer_one, *args)
        self._in_flight[future] = (index, self._executor)

    def _outcome(self, index: int, future: Future, executor: Executor) -> Outcome | None:
        """The file's outcome, or None when it goes back for a retry."""
        try:
            return future.result()
        except Exception as exc:
            if isinstance(exc, BrokenExecutor) and executor is self._executor:
                self._replace_executor()
            if self._attempts[index] < MAX_ATTEMPTS:
                self._retries.append(index)
                return None
            return FileError(
                self._paths[index],
                WORKER_DIED,
                f"the worker reading it stopped, twice ({_describe(exc)})",
            )

    def _replace_executor(self) -> None:
        """A pool whose worker died takes no more work; go on with a fresh pool of our own."""
        if self._own:
            self._executor.shutdown(wait=False)
        self._own = True
        self._executor = process_pool(self._jobs)
