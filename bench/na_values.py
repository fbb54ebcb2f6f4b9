"""Missing-value look-ups whatever the set's size: one pass over the same
file with 1 and with 1,000,000 missing-value strings, side by side.

Each set is timed in its own child process (median of --repeat passes of
`infer_types`; building the session, which converts the set, is not timed).
The file holds 8-byte texts that miss the set and some that hit it, so
every field is looked up.

    .venv/bin/python bench/na_values.py [--size-mb 1] [--repeat 5]
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

CHILD = r"""
import json, statistics, sys, time
import quorle_ext

args = json.loads(sys.argv[1])
na = {"NA"} | {"%08x" % (i * 7919 + 1) for i in range(args["na_size"] - 1)}
inf = quorle_ext.Inf(args["path"], ",", {"int": ["[0-9]+"], "word": ["[a-z]+"]}, na,
                     False, False, "", 100000)
times = []
for _ in range(args["repeat"]):
    start = time.perf_counter()
    inf.infer_types()
    times.append(time.perf_counter() - start)
print(json.dumps({"seconds": statistics.median(times), "rows": inf.num_rows}))
"""

SIZES = [1, 1_000_000]


def write_file(path, size_mb, seed):
    rng = random.Random(seed)
    with open(path, "w") as f:
        f.write("a,b,c,d\n")
        written = 0
        while written < size_mb << 20:
            fields = []
            for _ in range(4):
                k = rng.randrange(10)
                # Hits of the large set, the one shared value, and 8-byte misses.
                if k == 0:
                    fields.append("%08x" % (rng.randrange(999_999) * 7919 + 1))
                elif k == 1:
                    fields.append("NA")
                else:
                    fields.append(f"{rng.randrange(10**8):08d}")
            line = ",".join(fields) + "\n"
            f.write(line)
            written += len(line)


def time_pass(path, na_size, repeat):
    args = json.dumps({"path": path, "na_size": na_size, "repeat": repeat})
    out = subprocess.run(
        [sys.executable, "-c", CHILD, args], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=5)
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "na.csv")
        write_file(path, opts.size_mb, seed=1)
        results = {size: time_pass(path, size, opts.repeat) for size in SIZES}
    print(f"{opts.size_mb} MB file, median of {opts.repeat} passes")
    print("| missing values | seconds per pass | rows |")
    print("| ---: | ---: | ---: |")
    for size, r in results.items():
        print(f"| {size:,} | {r['seconds']:.4f} | {r['rows']:,} |")
    ratio = results[SIZES[-1]]["seconds"] / results[SIZES[0]]["seconds"]
    print(f"ratio {SIZES[-1]:,} / {SIZES[0]}: {ratio:.2f}x")


if __name__ == "__main__":
    main()
