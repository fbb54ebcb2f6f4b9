"""Peak memory of one pass, per hostile case, against its budget.

Each case writes its file into a fresh temporary folder (after checking the
free disk space; a case that does not fit is skipped with a message) and runs
the pass in a child process. The child reports its peak resident memory
during `infer_types` only, above what it held with the module imported and
the session built: reading the results afterwards copies them again and is
not counted.

    .venv/bin/python bench/memory.py [--only NAME ...] [--scale 0.1]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

MB = 1 << 20
DEMO_NA = ["", "NA", "N/A", "null", "NULL", "None", "-"]
# Room left on the disk besides the file itself.
DISK_MARGIN = 256 * MB

CHILD = r"""
import json, sys
import quorle_ext

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

def reset_peak():
    # Linux resets the peak (VmHWM) to the current size on "5"; where that is
    # refused, the peak so far is the baseline's own, which is no higher.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass

args = json.loads(sys.argv[1])
inf = quorle_ext.Inf(args["path"], ",", args["patterns"], set(args["na"]),
                     args["parallel"], False, "", 100000)
reset_peak()
base = status("VmRSS")
inf.infer_types()
peak = status("VmHWM")
print(json.dumps({"above": max(0, peak - base), "rows": inf.num_rows}))
"""


def write_file(path, head, block, count, tail):
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(count):
            f.write(block)
        f.write(tail)


def field_case(mb):
    return b"h\n", b"#" * MB, mb, b"\n", mb * MB


def header_cell_case(mb):
    return b"", b"n" * MB, mb, b"\n1\n", mb * MB


def unclosed_quote_case(mb):
    block = b"a,b\n1,2\r\n" * (MB // 9)
    return b'"', block, mb, b"", mb * len(block)


def wide_header_case(columns):
    header = b",".join(b"c%d" % i for i in range(columns)) + b"\n"
    row = b",".join(b"%d" % (i % 10) if i % 3 else b"w" for i in range(columns)) + b"\n"
    return header, row, 1, b"", 0


def cases(scale):
    def mb(n):
        return max(1, int(n * scale))

    import quorle

    demo = quorle.DEFAULT_PATTERNS.sources()
    return [
        # name, file parts, parallel, patterns, budget kind
        ("one huge field, sequential", field_case(mb(200)), False, None, "field"),
        ("one huge field, parallel", field_case(mb(200)), True, None, "field"),
        ("huge header cell", header_cell_case(mb(100)), False, None, "field"),
        ("unclosed quote at byte 0", unclosed_quote_case(mb(500)), False, None, "field"),
        ("unclosed quote at byte 0, parallel", unclosed_quote_case(mb(500)), True, None, "field"),
        (
            "very wide header",
            wide_header_case(int(1_000_000 * scale)),
            False,
            demo,
            "column",
        ),
    ]


def run_case(name, parts, parallel, patterns, kind, folder):
    head, block, count, tail, longest = parts
    size = len(head) + len(block) * count + len(tail)
    free = shutil.disk_usage(folder).free
    if free < size + DISK_MARGIN:
        return f"| {name} | skipped: {free // MB} MB free, {(size + DISK_MARGIN) // MB} MB needed |"
    path = os.path.join(folder, "case.csv")
    write_file(path, head, block, count, tail)
    args = {
        "path": path,
        "parallel": parallel,
        "patterns": patterns or {"int": [r"-?[0-9]+"], "word": [r"[a-z]+"]},
        "na": DEMO_NA,
    }
    try:
        out = subprocess.run(
            [sys.executable, "-c", CHILD, json.dumps(args)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    finally:
        os.remove(path)
    above = json.loads(out)["above"]
    if kind == "column":
        columns = head.count(b",") + 1
        per = above / columns
        verdict = "ok" if per <= 1024 else "OVER"
        return (
            f"| {name} | {size / MB:.0f} MB | {columns} columns | {above / MB:.0f} MB "
            f"| {per:.0f} B per column | <= 1 KB per column | {verdict} |"
        )
    ratio = above / longest
    verdict = "ok" if ratio <= 2.5 else "OVER"
    return (
        f"| {name} | {size / MB:.0f} MB | {longest / MB:.0f} MB | {above / MB:.0f} MB "
        f"| {ratio:.2f}x the field | <= 2.5x | {verdict} |"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", help="run only cases whose name holds one of these")
    parser.add_argument("--scale", type=float, default=1.0, help="size factor for every case")
    parser.add_argument("--tmp", default=None, help="folder for the temporary files")
    opts = parser.parse_args()
    print("| case | file | longest field | peak above baseline | ratio | budget | |")
    print("| --- | ---: | ---: | ---: | ---: | --- | --- |")
    for name, parts, parallel, patterns, kind in cases(opts.scale):
        if opts.only and not any(word in name for word in opts.only):
            continue
        with tempfile.TemporaryDirectory(dir=opts.tmp) as folder:
            print(run_case(name, parts, parallel, patterns, kind, folder), flush=True)


if __name__ == "__main__":
    main()
