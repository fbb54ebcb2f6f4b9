"""One large file as byte ranges on a local Dask cluster against one pass on one core.

Generates a seeded "mixed" file of --size-mb (once), reads it once into the page cache, then
times: quorle.infer(jobs=1) here; the start-up of a LocalCluster of --workers worker processes
(one thread each); quorle.infer(executor=client.get_executor(), chunk_size=--chunk) on it.
CPU time is this process's and the workers' (from their rusage); the load average is printed
before each run. The results must be equal.

    python bench/cluster_ranges.py [--size-mb 1000] [--workers 2] [--chunk 64MB]
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import time

import quorle

HERE = os.path.dirname(os.path.abspath(__file__))
MB = 1e6


def own_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def workers_cpu(client) -> float:
    return sum(client.run(own_cpu).values())


def timed(label: str, run, size: int, cpu=own_cpu):
    print(f"  load average {os.getloadavg()[0]:.2f}", flush=True)
    cpu_before, start = cpu(), time.perf_counter()
    result = run()
    wall, used = time.perf_counter() - start, cpu() - cpu_before
    print(f"  {label:46s} {wall:7.2f} s wall {used:7.2f} s CPU {size / wall / MB:7.1f} MB/s")
    return result, wall


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=1000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunk", default="64MB")
    args = parser.parse_args()
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("cluster_ranges: skipped: needs dask[distributed]")
        return 0
    sys.path.insert(0, HERE)
    from many_files import generate, warm

    path = os.path.join(HERE, "data", f"mixed-{args.size_mb}mb.csv")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    generate([path], args.size_mb)
    size = warm([path])
    print(f"{path}: {size / MB:.0f} MB, ranges of {args.chunk}")

    one, one_wall = timed(
        "quorle.infer(jobs=1), one core here", lambda: quorle.infer(path, jobs=1), size
    )
    start = time.perf_counter()
    with (
        LocalCluster(
            n_workers=args.workers, threads_per_worker=1, dashboard_address=None, processes=True
        ) as cluster,
        Client(cluster) as client,
    ):
        print(f"  cluster of {args.workers} workers started in {time.perf_counter() - start:.2f} s")
        executor = client.get_executor()
        ranged, ranged_wall = timed(
            f"ranges on {args.workers} workers",
            lambda: quorle.infer(path, executor=executor, chunk_size=args.chunk),
            size,
            lambda: own_cpu() + workers_cpu(client),
        )
    if ranged.to_dict() != one.to_dict():
        print("cluster_ranges: the ranges disagree with the pass on one core", file=sys.stderr)
        return 1
    print(f"  speed-up of the ranges, start-up apart: {one_wall / ranged_wall:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
