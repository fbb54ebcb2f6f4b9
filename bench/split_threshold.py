"""From what size splitting one file over the cores pays: quorle.infer(jobs=1) against
quorle.infer(jobs=CORES) on the first bytes of a generated file, cut at a row end, for sizes
doubling from --from-kb to --to-mb. Each size runs --repeat times per mode, the modes
alternating; the medians are printed with the CPU time, and the load average before each size.

    python bench/split_threshold.py bench/data/mixed.csv [--from-kb 128] [--to-mb 32] [--repeat 7]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

import quorle
from quorle.inference.pool import cores

KB = 1024


def head(source: str, size: int, folder: str) -> str:
    """The first `size` bytes of `source` or a little more, up to a row end."""
    path = os.path.join(folder, f"head-{size}.csv")
    with open(source, "rb") as f:
        data = f.read(size)
        data += f.readline()
    with open(path, "wb") as out:
        out.write(data)
    return path


def measure(path: str, jobs: int) -> tuple[float, float]:
    start, cpu = time.perf_counter(), time.process_time()
    quorle.infer(path, jobs=jobs)
    return time.perf_counter() - start, time.process_time() - cpu


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("--from-kb", type=int, default=128)
    parser.add_argument("--to-mb", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    threads = cores()
    print(f"quorle.infer(jobs=1) against jobs={threads}, median of {args.repeat}")
    titles = ("size", "load", "1 core s", "cpu s", "split s", "cpu s", "ratio")
    print("  ".join(f"{t:>{w}}" for t, w in zip(titles, (9, 5, 9, 7, 8, 7, 6), strict=True)))
    with tempfile.TemporaryDirectory() as folder:
        size = args.from_kb * KB
        while size <= args.to_mb * KB * KB:
            path = head(args.source, size, folder)
            quorle.infer(path, jobs=1)  # the table compiled, the file in the page cache
            load = os.getloadavg()[0]
            runs: dict[int, list[tuple[float, float]]] = {1: [], threads: []}
            for _ in range(args.repeat):
                for jobs in runs:
                    runs[jobs].append(measure(path, jobs))
            one = [statistics.median(x) for x in zip(*runs[1], strict=True)]
            split = [statistics.median(x) for x in zip(*runs[threads], strict=True)]
            print(
                f"{size / KB:7.0f}KB  {load:5.2f}  {one[0]:9.4f}  {one[1]:7.4f}  {split[0]:8.4f}"
                f"  {split[1]:7.4f}  {one[0] / split[0]:5.2f}x"
            )
            os.unlink(path)
            size *= 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
