"""Many files: a sequential loop of quorle.infer against quorle.infer_many on a process pool.

Large files: generates FILES seeded "mixed" files of SIZE_MB each (once; skipped with a message
when the disk is short), reads them all once so both runs find them in the page cache, then
times, in one run each: the loop, and infer_many on WORKERS workers with the pool's start-up
included.

Small files: cuts a generated "mixed" file into SMALL_FILES files of about SMALL_KB each, each
with the header, and times one pass over all their rows in one file, the loop over the small
files with and without the compiled table kept between files, and infer_many on WORKERS workers.

    python bench/many_files.py [--files 16] [--size-mb 100] [--workers 2] [--dir bench/data/many]
                               [--small-files 1000] [--small-kb 8] [--only large|small]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import time

import quorle
from quorle.inference import sessions
from quorle.inference.pool import process_pool

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


def large_files(args: argparse.Namespace) -> int:
    os.makedirs(args.dir, exist_ok=True)
    paths = paths_to_generate(args.dir, args.files)
    short = disk_is_short(paths, args.size_mb)
    if short:
        print(f"many_files: skipped: the disk is short ({short})")
        return 0
    generate(paths, args.size_mb)
    total = warm(paths)

    start, cpu_start = time.perf_counter(), time.process_time()
    sequential = [quorle.infer(p, jobs=1) for p in paths]
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


def cut_small_files(source: str, folder: str, count: int, size: int) -> tuple[list[str], str]:
    """`count` files of about `size` bytes each, every one with the header and whole rows of
    `source`, and one file of the header and all their rows."""
    paths = [os.path.join(folder, f"small-{i:04d}.csv") for i in range(count)]
    whole = os.path.join(folder, "all-rows.csv")
    if all(os.path.exists(p) for p in [*paths, whole]):
        return paths, whole
    with open(source, "rb") as f:
        header = f.readline()
        body = f.read()
    rows = body.splitlines(keepends=True)
    taken = 0
    with open(whole, "wb") as out:
        out.write(header)
        for path in paths:
            chunk, length = [], len(header)
            while length < size and taken < len(rows):
                chunk.append(rows[taken])
                length += len(rows[taken])
                taken += 1
            data = b"".join(chunk)
            with open(path, "wb") as small:
                small.write(header + data)
            out.write(data)
    return paths, whole


def timed(label: str, run, count: int, total: int, other_cpu=lambda: 0.0) -> tuple[float, float]:
    """Runs `run()` once; prints and returns its wall and CPU seconds: the CPU time of this
    process, of the children it reaped meanwhile, and `other_cpu()`'s growth."""
    print(f"  load average {os.getloadavg()[0]:.2f}", flush=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    other_before = other_cpu()
    start, cpu_start = time.perf_counter(), time.process_time()
    run()
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    children = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    cpu = time.process_time() - cpu_start + children + other_cpu() - other_before
    print(
        f"  {label:44s} {wall:7.3f} s wall {cpu:7.3f} s CPU   {wall / count * 1000:6.3f} ms"
        f" and {cpu / count * 1000:6.3f} ms CPU per file   {total / wall / MB:6.1f} MB/s"
    )
    return wall, cpu


def _pool_cpu(pool) -> float:
    """CPU seconds the pool's worker processes have used so far (they are not our children
    when a process server starts them, so rusage does not see them)."""
    ticks = os.sysconf("SC_CLK_TCK")
    total = 0
    for process in getattr(pool, "_processes", {}).values():
        with open(f"/proc/{process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / ticks


def small_files(args: argparse.Namespace) -> int:
    folder = os.path.join(args.dir, f"small-{args.small_files}x{args.small_kb}k")
    os.makedirs(folder, exist_ok=True)
    source = os.path.join(folder, "source.csv")
    if not os.path.exists(source):
        mb = max(1, args.small_files * args.small_kb // 1000 + 1)
        generate([source], mb)
    paths, whole = cut_small_files(source, folder, args.small_files, args.small_kb * 1000)
    total = warm(paths)
    warm([whole])
    n = len(paths)
    print(f"{n} files of about {args.small_kb} KB, {total / MB:.1f} MB in all")

    def fresh_table_each_file():
        for p in paths:
            sessions._prototypes.clear()
            quorle.infer(p, jobs=1)

    results: list = []
    sessions._prototypes.clear()
    _, one_cpu = timed(
        "one pass over all their rows, one file", lambda: quorle.infer(whole, jobs=1), n, total
    )
    timed("loop, table compiled for each file", fresh_table_each_file, n, total)
    sessions._prototypes.clear()
    loop_wall, loop_cpu = timed(
        "loop, table compiled once",
        lambda: results.extend(quorle.infer(p, jobs=1) for p in paths),
        n,
        total,
    )
    many_wall, _ = timed(
        f"infer_many(jobs={args.workers}), start-up in (CPU: parent)",
        lambda: results.append(quorle.infer_many(paths, jobs=args.workers)),
        n,
        total,
    )
    pool = process_pool(args.workers)
    try:
        # The workers started and the table compiled in each.
        quorle.infer_many(paths[: args.workers * 2], executor=pool)
        warm_wall, _ = timed(
            f"infer_many on {args.workers} warm workers",
            lambda: results.append(quorle.infer_many(paths, executor=pool)),
            n,
            total,
            lambda: _pool_cpu(pool),
        )
    finally:
        pool.shutdown()
    loop = results[:n]
    if any([summary(r) for r in loop] != [summary(r) for r in many.files] for many in results[n:]):
        print("many_files: infer_many disagrees with the loop", file=sys.stderr)
        return 1
    print(
        f"  set-up per file: {(loop_cpu - one_cpu) / n * 1000:.3f} ms CPU"
        " above one pass over the same rows"
    )
    print(
        f"  infer_many over the loop: {loop_wall / many_wall:.2f}x with start-up,"
        f" {loop_wall / warm_wall:.2f}x on warm workers"
    )
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--dir", default=os.path.join(HERE, "data", "many"))
    parser.add_argument("--small-files", type=int, default=1000)
    parser.add_argument("--small-kb", type=int, default=8)
    parser.add_argument("--only", choices=("large", "small"))
    args = parser.parse_args()
    status = 0 if args.only == "small" else large_files(args)
    return status or (0 if args.only == "large" else small_files(args))


if __name__ == "__main__":
    sys.exit(main())
