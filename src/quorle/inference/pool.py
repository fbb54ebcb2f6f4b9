"""The process pool a run over many files owns: workers that start without a copy of the
parent, leave a terminal's stop signals to it, and are ended by it."""

from __future__ import annotations

import contextlib
import multiprocessing
import multiprocessing.forkserver
import os
import signal
import threading
from collections.abc import Callable, Iterator
from concurrent.futures import Executor
from concurrent.futures.process import ProcessPoolExecutor
from multiprocessing import resource_tracker
from typing import Any

# Signals whose Python handlers may stop a run by raising; held back while our pool starts
# a worker (see `signals_held`).
HELD_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
)
# What a terminal sends its foreground group, the pool's helpers and workers included.
TERMINAL_SIGNALS = {getattr(signal, name) for name in ("SIGINT", "SIGHUP") if hasattr(signal, name)}


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
        # Workers then fork from a server that has the package, the engine with it, loaded already.
        context.set_forkserver_preload([__name__])
    # A stop signal inside the pool's set-up could come between a semaphore's creation and
    # the record that removes it at exit; the tracker then warns of a leak as the command ends.
    with signals_held():
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
def signals_held() -> Iterator[None]:
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


def stop_workers(pool: ProcessPoolExecutor) -> None:
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


def end_strays(pool: ProcessPoolExecutor) -> None:
    """Kills the broken pool's workers still running. A worker that a submit started as the
    pool broke (it has no lock for that) is never told to stop, and the pool's own thread,
    and so the interpreter's exit, would wait for it forever."""
    for process in _workers_of(pool):
        with contextlib.suppress(ValueError):  # a process object already closed
            process.kill()


def _workers_of(pool: ProcessPoolExecutor) -> list[Any]:
    # Before Python 3.14 the pool only exposes its processes privately.
    return list((getattr(pool, "_processes", None) or {}).values())


def is_broken(pool: Executor) -> bool:
    """Whether our process pool has been marked broken (its flag is set before its pipes
    are closed)."""
    return bool(getattr(pool, "_broken", False))
