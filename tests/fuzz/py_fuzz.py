"""Random calls into quorle_ext through its Python interface.

Every call must return or raise a Python exception. The calls run in child
processes, a batch of iterations each, so that a crash of the interpreter
shows up as a failed exit status; the iteration that was running is then
rerun alone and reported with the seed that reproduces it.

Usage: python tests/fuzz/py_fuzz.py [--iterations N] [--seed S] [--batch B]
Reproduce one iteration: python tests/fuzz/py_fuzz.py --seed S --start I --iterations 1
"""

import argparse
import collections
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

INT_MAX = 2**31 - 1
INT_MIN = -(2**31)

VALID_PATTERNS = [
    r"[0-9]+",
    r"-?\d+(\.\d+)?",
    r"[A-Za-z_]\w*",
    r"",
    r".*",
    r"true|false",
    r"\s+",
    r"[^,]*",
    r"(?i)na|null",
    r"\x00",
    b"\xff+",
]
PATHOLOGICAL_PATTERNS = [
    r"(a*)*b",
    r"(x+x+)+y",
    r"(a|aa)+$",
    r"(.*a){20}",
    r"((a+)+)+c",
    r"(a|a?)+c",
    r"(\w+\s?)+$",
    r"a{1000000}",
    r"(ab){50000}",
    r".{0,65535}x",
    r"(?:(?:(?:(?:(?:(?:(?:(?:a)))))))))",
]
INVALID_PATTERNS = [
    r"(",
    r")",
    r"[",
    r"a{2,1}",
    r"*a",
    "\\",
    r"(?<",
    r"a{99999999999}",
    r"[z-a]",
    r"(?P<n>a)(?P=m)",
    r"\k",
]
TYPE_NAMES = ["int", "float", "word", "", "NA", "other", "a,b", "é", "x\ny", b"\xfe"]
NA_CANDIDATES = ["", "NA", "-", "null", "\x00", " ", "é", b"\xff"]
DELIMITERS = [",", ",", ";", "\t", "|", "\x00", '"', "\n", "\r", "é", b"\xff"]
BAD_DELIMITERS = ["ab", "", None, "€", 7]
WINDOWS = [0, -1, 1, 2, 3, 7, 1000, INT_MAX, INT_MIN]
BAD_WINDOWS = [2**31, -(2**40), 1.5, None]
CSV_PIECES = [
    "1", "42", "-7", "3.14", ".5", "abc", "NA", "", " ", "-", "true", "a" * 40, "x" * 40,
    ",", ",", ",", ";", "\t", '"', '""', "\r", "\n", "\n", "\r\n", "\x00", "\xff", "\xc3(",
]  # fmt: skip


def pick(rng, good, bad, bad_share=0.05):
    return rng.choice(bad if rng.random() < bad_share else good)


def random_pattern(rng):
    roll = rng.random()
    if roll < 0.75:
        return rng.choice(VALID_PATTERNS)
    if roll < 0.9:
        return rng.choice(PATHOLOGICAL_PATTERNS)
    if roll < 0.97:
        return rng.choice(INVALID_PATTERNS)
    alphabet = "ab()[]{}*+?|.^$\\0123,-"
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 12)))


def random_table(rng):
    return {
        rng.choice(TYPE_NAMES): [random_pattern(rng) for _ in range(rng.randint(0, 3))]
        for _ in range(rng.randint(0, 4))
    }


def random_file(rng):
    roll = rng.random()
    if roll < 0.25:
        return bytes(rng.getrandbits(8) for _ in range(rng.choice([0, 1, 7, 100, 4096])))
    if roll < 0.35:
        width = rng.randint(1, 300)
        header = ",".join(f"c{rng.randint(0, width)}" for _ in range(width))
        rows = [header] + [
            ",".join(rng.choice(CSV_PIECES[:14]) for _ in range(rng.randint(0, width + 2)))
            for _ in range(rng.randint(0, 20))
        ]
        return "\n".join(rows).encode("latin-1")
    text = "".join(rng.choice(CSV_PIECES) for _ in range(rng.randint(0, 600)))
    return text.encode("latin-1")


def random_path(rng, workdir, csv_path):
    unusable = ["", os.path.join(workdir, "missing", "types.txt"), workdir, csv_path]
    return pick(rng, [os.path.join(workdir, "types.txt")], unusable, 0.2)


def one_iteration(rng, workdir, tally):
    """Runs one random session; counts how each call ended."""

    def call(name, fn, *args):
        try:
            result = fn(*args)
        except Exception as exc:
            tally[name + ":" + type(exc).__name__] += 1
            return None
        tally[name + ":ok"] += 1
        return result

    csv_path = os.path.join(workdir, "input.csv")
    with open(csv_path, "wb") as f:
        f.write(random_file(rng))
    filepath = rng.choice([csv_path] * 8 + [workdir, os.path.join(workdir, "nope.csv")])

    import quorle_ext

    inf = call(
        "init",
        quorle_ext.Inf,
        filepath,
        pick(rng, DELIMITERS, BAD_DELIMITERS),
        random_table(rng),
        set(rng.sample(NA_CANDIDATES, rng.randint(0, 3))),
        rng.random() < 0.5,
        rng.random() < 0.5,
        random_path(rng, workdir, csv_path),
        pick(rng, WINDOWS, BAD_WINDOWS),
    )
    if inf is None:
        return
    setters = [
        ("set_col_type_patterns", lambda: random_table(rng)),
        ("set_na_values", lambda: set(rng.sample(NA_CANDIDATES, rng.randint(0, 3)))),
        ("set_delimiter", lambda: pick(rng, DELIMITERS, BAD_DELIMITERS)),
        ("set_multithreading", lambda: rng.random() < 0.5),
        ("set_save_types_file", lambda: rng.random() < 0.5),
        ("set_types_filepath", lambda: random_path(rng, workdir, csv_path)),
        ("set_rolling_cache_window", lambda: pick(rng, WINDOWS, BAD_WINDOWS)),
    ]
    for _ in range(rng.randint(1, 3)):
        call("infer_types", inf.infer_types)
        call("num_rows", lambda: inf.num_rows)
        call("col_names", lambda: inf.col_names)
        call("get_col_type_candidates", inf.get_col_type_candidates)
        call("get_col_type_patterns", inf.get_col_type_patterns)
        for name, value in rng.sample(setters, rng.randint(0, 3)):
            call(name, getattr(inf, name), value())


def run_child(seed, start, count, workdir):
    tally = collections.Counter()
    for it in range(start, start + count):
        # The parent reads this to name the iteration that was running.
        print("iteration", it, flush=True)
        one_iteration(random.Random(f"{seed}:{it}"), workdir, tally)
    print("tally", json.dumps(tally), flush=True)
    return 0


def run_batch(seed, start, count, timeout):
    workdir = tempfile.mkdtemp(prefix="quorle_py_fuzz_")
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "--seed", str(seed)]
    cmd += ["--start", str(start), "--iterations", str(count), "--workdir", workdir]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
        status, out, err = proc.returncode, proc.stdout, proc.stderr
    except subprocess.TimeoutExpired as exc:
        status, err = "timeout", exc.stderr or ""
        out = exc.stdout.decode() if isinstance(exc.stdout, bytes) else exc.stdout or ""
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    last = [line.split()[1] for line in out.splitlines() if line.startswith("iteration ")]
    tally = {}
    for line in out.splitlines():
        if line.startswith("tally "):
            tally = json.loads(line[len("tally ") :])
    return status, (int(last[-1]) if last else start), tally, err


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--batch", type=int, default=25)
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per batch")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--workdir", help=argparse.SUPPRESS)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    if args.child:
        return run_child(seed, args.start, args.iterations, args.workdir)

    print(f"py_fuzz: seed {seed}, {args.iterations} iterations from {args.start}")
    began = time.monotonic()
    total = collections.Counter()
    failures = []
    end = args.start + args.iterations
    for start in range(args.start, end, args.batch):
        count = min(args.batch, end - start)
        status, last, tally, err = run_batch(seed, start, count, args.timeout)
        total.update(tally)
        if status == 0:
            continue
        # Confirm on the iteration alone, so the report names a reproducer.
        alone, _, _, alone_err = run_batch(seed, last, 1, args.timeout)
        failures.append((last, status, alone, (alone_err or err)[-2000:]))
    elapsed = time.monotonic() - began

    for name, n in sorted(total.items()):
        print(f"  {name:<48} {n}")
    print(f"py_fuzz: {args.iterations} iterations in {elapsed:.1f}s")
    for it, status, alone, err in failures:
        print(f"CRASH: iteration {it} exit status {status} (alone: {alone})")
        print(f"  reproduce: python {__file__} --seed {seed} --start {it} --iterations 1")
        print("  " + err.replace("\n", "\n  "))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
