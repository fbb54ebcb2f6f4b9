"""The files a command reads (folders, globs and archives expanded) and the passes over them:
here, on a process pool, or on a Dask cluster."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Iterator
from concurrent.futures import Executor
from typing import Any

from ..engine import archives
from ..inference.many import expand_paths
from ..inference.options import Options
from ..inference.result import FileResult
from . import runs
from .messages import UsageError, warn


def expand(files: list[str]) -> list[str]:
    """`expand_paths`, warning; a file named as an archive's member is a usage error."""
    try:
        return expand_paths(files, warn)
    except archives.NameClash as e:
        raise UsageError(str(e)) from None


def is_many(args: argparse.Namespace, paths: list[str]) -> bool:
    """Several files, or a folder or glob: not one file named as such, which --jobs and
    --dask spread over cores and machines as byte ranges. An archive's one member is one file."""
    one_member = len(paths) == 1 and [archives.locate(paths[0])[0]] == args.files
    return (paths != args.files and not one_member) or len(paths) > 1


def _dask_client(address: str) -> Any:
    try:
        from distributed import Client
    except ImportError:
        raise UsageError(
            "--dask needs the distributed package: pip install 'dask[distributed]'"
        ) from None
    try:
        return Client(address)
    except (OSError, ValueError) as e:
        raise UsageError(f"--dask {address}: {e}") from None


def analyse_files(
    args: argparse.Namespace, options: Options, paths: list[str], types_file: str | None = None
) -> Iterator[tuple[str, FileResult | Exception, float | None]]:
    """`runs.analyse` for one file named as such; `runs.analyse_many` for several, folders and
    globs; on the Dask cluster of --dask if given."""
    if args.jobs is not None and args.dask:
        raise UsageError("--jobs and --dask exclude each other")
    with _cluster(args.dask) as executor:
        if is_many(args, paths):
            yield from runs.analyse_many(
                paths, options, executor=executor, jobs=args.jobs, strict=args.strict
            )
        elif executor is not None:
            yield from runs.analyse(
                paths, options.replace(chunk_size=args.chunk_size, executor=executor)
            )
        else:
            yield from runs.analyse(paths, options.replace(jobs=args.jobs), types_file)


@contextlib.contextmanager
def _cluster(address: str | None) -> Iterator[Executor | None]:
    """The executor of the Dask cluster at `address`, closed at the end; None without one."""
    if not address:
        yield None
        return
    client = _dask_client(address)
    try:
        yield client.get_executor()
    finally:
        client.close()
