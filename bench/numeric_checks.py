"""The cost of the numeric checks: `quorle.infer` on one file with them off and on, interleaved.

The checks tell SQLite's type map whether a column's numbers are exactly doubles, or fit in
64 bits. The figure is the median CPU time of the pass in this process (one job), which a
machine busy with other work disturbs less than the wall clock.

    python bench/numeric_checks.py bench/data/mixed.csv --repeat 5
"""

from __future__ import annotations

import argparse
import resource
import statistics

import quorle
from quorle.inference import sessions


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    checks = sessions.numeric_checks
    times: dict[str, list[float]] = {"off": [], "on": []}
    for _ in range(args.repeat):
        for mode in times:
            sessions.numeric_checks = checks if mode == "on" else (lambda table: ([], []))
            start = cpu_seconds()
            quorle.infer(args.path, jobs=1)
            times[mode].append(cpu_seconds() - start)
    sessions.numeric_checks = checks
    medians = {mode: statistics.median(values) for mode, values in times.items()}
    for mode, values in times.items():
        print(f"checks {mode}: median {medians[mode]:.3f} s CPU of {len(values)} runs")
    print(f"ratio on/off: {medians['on'] / medians['off']:.3f}")


if __name__ == "__main__":
    main()
