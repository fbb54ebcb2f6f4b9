"""Many files: a sequential loop of quorle.infer against quorle.infer_many on a process pool.

Generates FILES seeded "mixed" files of SIZE_MB each (once; skipped with a message when the
disk is short), reads them all once so both runs find them in the page cache, then times, in
one run each: the loop, and infer_many on WORKERS workers with the pool's start-up included.

    python bench/many_files.py [--files 16] [--size-mb 100] [--workers 2] [--dir bench/data/many]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time

import quorle
from quorle.many import process_pool

HERE = os.path.dirname(os.path.abspath(__file__))
# Room left on the disk beyond the files themselves.
SPARE_BYTES = 1 << 30
READ_BLOCK = 1 << 20
MB = 1e6


def paths_to_generate(folder: str, files: int) -> list[str]:
    return [os.path.join(folder, f"part-{i:02d}.csv") for i in range(files)]


def disk_is_short(paths: list[str], size_mb: int) -> str | None:
    missing = [p for p in paths if not os.path.exists(p)]
    need = len(missing) * size_mb * MB + SPARE_BYTES
    free = shutil.disk_usage(os.path.dirname(paths[0])).free
    if missing and free < need:
        return f"needs {need / MB:.0f} MB free for its files, has {free / MB:.0f} MB"
    return None


def generate(paths: list[str], size_mb: int) -> None:
    for seed, path in enumerate(paths, start=1):
        if os.path.exists(path):
            continue
        print(f"generating {path}", flush=True)
        partial = path + ".part"  # renamed when complete, so an interrupted run starts over
        subprocess.run(
            [sys.executable, os.path.join(HERE, "gen_data.py"), "--kind", "mixed",
             "--size-mb", str(size_mb), "--seed", str(seed), partial],
            check=True,
        )  # fmt: skip
        os.replace(partial, path)


def warm(paths: list[str]) -> int:
    total = 0
    for path in paths:
        with open(path, "rb") as f:
            while block := f.read(READ_BLOCK):
                total += len(block)
    return total


def summary(result) -> list[tuple]:
    return [(c.name, tuple(sorted(c.counts.items()))) for c in result.columns]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--dir", default=os.path.join(HERE, "data", "many"))
    args = parser.parse_args()

    os.makedirs(args.dir, exist_ok=True)
    paths = paths_to_generate(args.dir, args.files)
    short = disk_is_short(paths, args.size_mb)
    if short:
        print(f"many_files: skipped: the disk is short ({short})")
        return 0
    generate(paths, args.size_mb)
    total = warm(paths)

    start, cpu_start = time.perf_counter(), time.process_time()
    sequential = [quorle.infer(p) for p in paths]
    loop_seconds = time.perf_counter() - start
    # CPU time is what a core spends per byte, whatever else the machine is running.
    loop_cpu = time.process_time() - cpu_start

    start = time.perf_counter()
    pool = process_pool(args.workers)
    try:
        many = quorle.infer_many(paths, executor=pool)
    finally:
        pool.shutdown()
    many_seconds = time.perf_counter() - start

    if [summary(r) for r in sequential] != [summary(r) for r in many.files]:
        print("many_files: infer_many disagrees with the loop", file=sys.stderr)
        return 1
    print(f"{len(paths)} files, {total / MB:.0f} MB in all; load average {os.getloadavg()[0]:.1f}")
    loop_rate = total / loop_seconds / MB
    print(f"  loop of quorle.infer:          {loop_seconds:7.2f} s  {loop_rate:6.1f} MB/s")
    print(
        f"  infer_many on {args.workers} workers, start-up in: {many_seconds:7.2f} s  "
        f"{total / many_seconds / MB:6.1f} MB/s"
    )
    print(f"  speed-up: {loop_seconds / many_seconds:.2f}x")
    print(f"  per core: {total / loop_cpu / MB:.1f} MB per CPU second of the loop")
    return 0


if __name__ == "__main__":
    sys.exit(main())
