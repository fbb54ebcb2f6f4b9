"""A pass over a file larger than 4 GiB with more than 2**31 - 1 rows.

The file is generated block by block (one block in memory at a time) into a
temporary directory and deleted afterwards. A named pipe would avoid the disk,
but a pass opens its input twice (once to count the header's fields), and two
readers of one pipe would split its bytes between them.

Every data row is a single short field taken in turn from a fixed cycle, so
the exact row count and every count per type follow from the block count.
The pass runs in a child process, which reports its peak resident set size;
the file is streamed, so the peak must stay far below the file size.

Usage: python tests/fuzz/large_input.py [--blocks N] [--dir DIR] [--max-rss-mb M]
The default of 32769 blocks gives 2**31 + 65536 data rows in 4295098370 bytes.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

CYCLE = [b"1", b"2", b"a", b"b", b"-", b".", b"9", b"z"]
TYPE_OF = {b"1": "int", b"2": "int", b"9": "int", b"a": "word", b"b": "word", b"z": "word"}
TYPE_OF.update({b"-": "NA", b".": "other"})
ROWS_PER_BLOCK = 65536
HEADER = b"c\n"

CHILD = r"""
import json, resource, sys
import quorle_ext
path, window = sys.argv[1], int(sys.argv[2])
inf = quorle_ext.Inf(path, ",", {"int": ["[0-9]+"], "word": ["[a-z]+"]}, {"-"},
                     False, False, "", window)
inf.infer_types()
print(json.dumps({
    "num_rows": inf.num_rows,
    "col_names": inf.col_names,
    "counts": inf.get_col_type_candidates(),
    "max_rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
}))
"""


def block():
    rows = [CYCLE[i % len(CYCLE)] for i in range(ROWS_PER_BLOCK)]
    return b"\n".join(rows) + b"\n"


def expected(blocks):
    per_block = {"int": 0, "word": 0, "NA": 0, "other": 0}
    for i in range(ROWS_PER_BLOCK):
        per_block[TYPE_OF[CYCLE[i % len(CYCLE)]]] += 1
    return blocks * ROWS_PER_BLOCK, {"c": {t: k * blocks for t, k in per_block.items()}}


def write_file(path, blocks):
    data = block()
    with open(path, "wb") as f:
        f.write(HEADER)
        for _ in range(blocks):
            f.write(data)
    return len(HEADER) + blocks * len(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blocks", type=int, default=32769)
    parser.add_argument("--dir", default=None, help="where the temporary file goes")
    parser.add_argument("--window", type=int, default=1000)
    parser.add_argument("--max-rss-mb", type=float, default=256.0)
    args = parser.parse_args()

    want_rows, want_counts = expected(args.blocks)
    fd, path = tempfile.mkstemp(prefix="quorle_large_", suffix=".csv", dir=args.dir)
    os.close(fd)
    try:
        began = time.monotonic()
        size = write_file(path, args.blocks)
        written = time.monotonic()
        print(f"wrote {size} bytes ({size / 2**30:.2f} GiB) in {written - began:.1f}s", flush=True)
        proc = subprocess.run(
            [sys.executable, "-c", CHILD, path, str(args.window)],
            capture_output=True,
            text=True,
        )
        passed = time.monotonic()
    finally:
        os.remove(path)

    if proc.returncode != 0:
        print(f"FAIL: pass exited with status {proc.returncode}\n{proc.stderr[-3000:]}")
        return 1
    got = json.loads(proc.stdout)
    rss_mb = got["max_rss_kb"] / 1024
    print(f"pass: {passed - written:.1f}s, {got['num_rows']} rows, peak RSS {rss_mb:.1f} MB")
    failures = []
    if got["num_rows"] != want_rows:
        failures.append(f"num_rows {got['num_rows']} != {want_rows}")
    if got["col_names"] != ["c"]:
        failures.append(f"col_names {got['col_names']!r} != ['c']")
    if got["counts"] != want_counts:
        failures.append(f"counts {got['counts']} != {want_counts}")
    if rss_mb > args.max_rss_mb:
        failures.append(f"peak RSS {rss_mb:.1f} MB > {args.max_rss_mb} MB")
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("OK: counts exact:", json.dumps(got["counts"]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
