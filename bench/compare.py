"""Time quorle against peers doing the same job, common CSV readers and a read floor.

Every engine runs in a fresh child interpreter, several times, on the same
file; the tables show the median time of the work itself (imports excluded),
throughput, the child's peak resident memory and the ratio to quorle. The
same-job peers' counts are checked equal to quorle's on every run.

    python bench/compare.py bench/data/mixed.csv --repeat 3
    python bench/compare.py bench/data/small.csv --check
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

NA_VALUES = ["", "NA", "N/A", "null", "NULL", "None", "-"]
# Rows between two emptyings of the value cache; children read it from the environment.
WINDOW = int(os.environ.get("QUORLE_BENCH_WINDOW", "100000"))
# "bench" (the table below) or "default" (the table shipped with quorle), for every engine.
TABLE = os.environ.get("QUORLE_BENCH_TABLE", "bench")
DEFAULT_TABLE_FILE = Path(__file__).resolve().parent.parent / "src/quorle/default_patterns.json"
# Threads of quorle's split pass, and of polars.
SPLIT_THREADS = int(os.environ.get("QUORLE_BENCH_THREADS", "2"))

# The benchmark's pattern table, the same as bench_common.h's. No text matches
# two types (nor a type and a missing value), so the adaptive trial order never
# changes a result and any two correct classifiers agree on every count.
_DAY = (
    r"[0-9]{4}-((0[1-9]|1[0-2])-(0[1-9]|1[0-9]|2[0-8])"
    r"|(0[13-9]|1[0-2])-(29|30)|(0[13578]|1[02])-31)"
)
_LEAP_DAY = r"([0-9]{2}(0[48]|[2468][048]|[13579][26])|(0[048]|[2468][048]|[13579][26])00)-02-29"
_CLOCK = r"([01][0-9]|2[0-3]):[0-5][0-9](:[0-5][0-9](\.[0-9]+)?)?"
_ZONE = r"(Z|[+-]([01][0-9]|2[0-3])(:[0-5][0-9]|[0-5][0-9])?)?"
PATTERNS: dict[str, list[str]] = {
    "integer": [r"[+-]?(0|[1-9][0-9]*)"],
    "decimal": [
        r"[+-]?(0|[1-9][0-9]*)?\.[0-9]+([eE][+-]?[0-9]+)?",
        r"[+-]?(0|[1-9][0-9]*)[eE][+-]?[0-9]+",
    ],
    "boolean": [r"true|false|True|False|TRUE|FALSE", r"yes|no|Yes|No|YES|NO"],
    "date": [_DAY, _LEAP_DAY],
    "datetime": [_DAY + "[T ]" + _CLOCK + _ZONE, _LEAP_DAY + "[T ]" + _CLOCK + _ZONE],
    "time": [_CLOCK],
    "code": [r"0[0-9]+"],
}

# Engines doing quorle's job: per column, missing values first, then the type
# whose expressions match the whole field, else "other". The peers test every
# type, so they agree with quorle only while no text matches two types (or a
# type and a missing value); every run's counts are checked against quorle's.
JOB_ENGINES = ["quorle", "quorle-split", "python", "polars", "duckdb", "pyarrow", "pandas"]
# Readers that only parse (and convert) the file: what the bytes cost them.
PARSE_ENGINES = ["floor", "pandas-parse", "pyarrow-parse", "polars-parse", "duckdb-parse"]
ENGINES = [*JOB_ENGINES, "quorle-parallel", *PARSE_ENGINES]
# The module each peer needs, by the engine name's first word.
PEER_MODULES = {
    "pandas": "pandas",
    "pyarrow": "pyarrow.csv",
    "polars": "polars",
    "duckdb": "duckdb",
}


class CountMismatch(Exception):
    """A same-job engine's counts differ from the reference's."""


def load_patterns() -> dict[str, list[str]]:
    if TABLE == "default":
        # Read as JSON, not through quorle, whose import no peer pays.
        table = json.loads(DEFAULT_TABLE_FILE.read_text(encoding="utf-8"))
        return {
            name: list(entry["patterns"] if isinstance(entry, dict) else entry)
            for name, entry in table.items()
        }
    return {name: list(sources) for name, sources in PATTERNS.items()}


def run_quorle(
    path: str, parallel: bool, window: int = WINDOW, threads: int = 1
) -> dict[str, dict[str, int]]:
    """The sequential pass, the engine's multithreading mode, or (`threads` > 1) the pass
    split over that many threads, which must split: a figure of one core would mislead."""
    import quorle_ext

    inf = quorle_ext.Inf(path, ",", load_patterns(), set(NA_VALUES), parallel, False, "", window)
    if threads > 1:
        # As quorle.infer runs it: the session is dropped, so no cache is rebuilt for it.
        reason = inf._infer_split(threads, keep_cache=False)
        if reason:
            raise RuntimeError(f"the split pass read on one core: {reason}")
    else:
        inf.infer_types()
    return inf.get_col_type_candidates()


def run_python(path: str, window: int = WINDOW) -> dict[str, dict[str, int]]:
    """The same job as quorle, written plainly in Python."""
    patterns = load_patterns()
    # latin-1 maps each byte to one character and ASCII classes keep \d and \w
    # to the bytes a narrow-character regex engine sees; DOTALL lets '.' take a
    # line feed inside a quoted field, as the engine's default syntax does.
    compiled = {
        t: [re.compile(s, re.ASCII | re.DOTALL) for s in src] for t, src in patterns.items()
    }
    na = set(NA_VALUES)
    cache: dict[str, str] = {}
    counts: dict[str, dict[str, int]] = {}
    orders: dict[str, list[str]] = {}
    with open(path, encoding="latin-1", newline="") as f:
        reader = csv.reader(f)
        names: list[str] = []
        n = 0
        for row in reader:
            if not row:
                row = [""]
            if n == 0:
                for name in row:
                    counts[name] = {t: 0 for t in compiled}
                    counts[name].update(other=0, NA=0)
                    orders[name] = list(compiled)
                names = row
            else:
                for name, v in zip(names, row, strict=False):
                    if v in na:
                        t = "NA"
                    else:
                        t = cache.get(v, "")
                        if not t:
                            t = "other"
                            order = orders[name]
                            for i, key in enumerate(order):
                                if any(rx.fullmatch(v) for rx in compiled[key]):
                                    t = key
                                    if i:
                                        order[0], order[i] = order[i], order[0]
                                    break
                            cache[v] = t
                    counts[name][t] += 1
            n += 1
            if n % window == 0:
                cache.clear()
    return counts


def full_match(sources: list[str]) -> str:
    """One expression for a type: any of its expressions."""
    return "(?:" + "|".join(sources) + ")"


def tally(
    names: list[str], rows: int, types: list[str], count: Callable[[int, str], int]
) -> dict[str, dict[str, int]]:
    """Per-column counts in quorle's shape from count(column index, "NA" or type).

    "other" is what no type and no missing value took, which presumes that no
    field is counted twice.
    """
    counts = {}
    for i, name in enumerate(names):
        col = {key: int(count(i, key)) for key in ["NA", *types]}
        col["other"] = rows - sum(col.values())
        counts[name] = col
    return counts


def column_names(path: str) -> list[str]:
    with open(path, encoding="latin-1", newline="") as f:
        return next(csv.reader(f))


def sql_text(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def run_polars(path: str) -> dict[str, dict[str, int]]:
    import polars as pl

    patterns = load_patterns()
    frame = pl.scan_csv(path, infer_schema=False)
    names = frame.collect_schema().names()
    exprs = [pl.len().alias("rows")]
    for i, name in enumerate(names):
        col = pl.col(name)
        exprs.append((col.is_null() | col.is_in(NA_VALUES)).sum().alias(f"{i} NA"))
        for key, sources in patterns.items():
            exprs.append(col.str.contains(f"^{full_match(sources)}$").sum().alias(f"{i} {key}"))
    got = frame.select(exprs).collect(engine="streaming").row(0, named=True)
    return tally(names, got["rows"], list(patterns), lambda i, key: got[f"{i} {key}"])


def run_duckdb(path: str) -> dict[str, dict[str, int]]:
    import duckdb

    patterns = load_patterns()
    con = duckdb.connect()
    source = f"read_csv({sql_text(path)}, all_varchar = true, header = true)"
    names = [d[0] for d in con.execute(f"DESCRIBE SELECT * FROM {source}").fetchall()]
    missing = ", ".join(sql_text(v) for v in NA_VALUES)
    keys = ["NA", *patterns]
    aggregates = ["count(*)"]
    for name in names:
        col = '"' + name.replace('"', '""') + '"'
        aggregates.append(f"count(*) FILTER (WHERE {col} IS NULL OR {col} IN ({missing}))")
        for sources in patterns.values():
            rx = sql_text(full_match(sources))
            aggregates.append(f"count(*) FILTER (WHERE regexp_full_match({col}, {rx}))")
    got = con.execute(f"SELECT {', '.join(aggregates)} FROM {source}").fetchone()
    assert got is not None
    return tally(
        names, got[0], list(patterns), lambda i, key: got[1 + i * len(keys) + keys.index(key)]
    )


def run_pyarrow(path: str) -> dict[str, dict[str, int]]:
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as pcsv

    patterns = load_patterns()
    names = column_names(path)
    options = pcsv.ConvertOptions(column_types={name: pa.string() for name in names})
    table = pcsv.read_csv(path, convert_options=options)
    missing = pa.array(NA_VALUES)

    def count(i: int, key: str) -> int:
        col = table.column(i)
        if key == "NA":
            hits = pc.is_in(col, value_set=missing)
        else:
            hits = pc.match_substring_regex(col, f"^{full_match(patterns[key])}$")
        return pc.sum(hits).as_py() or 0

    return tally(names, table.num_rows, list(patterns), count)


def run_pandas(path: str) -> dict[str, dict[str, int]]:
    import pandas

    patterns = load_patterns()
    frame = pandas.read_csv(path, dtype=str, na_filter=False)

    def count(i: int, key: str) -> int:
        col = frame.iloc[:, i]
        if key == "NA":
            return col.isin(NA_VALUES).sum()
        return col.str.fullmatch(full_match(patterns[key])).sum()

    return tally(list(frame.columns), len(frame), list(patterns), count)


def run_floor(path: str) -> int:
    lines = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return lines
            lines += block.count(b"\n")


JOB_RUNNERS: dict[str, Callable[[str], dict[str, dict[str, int]]]] = {
    "quorle": lambda path: run_quorle(path, False),
    "quorle-parallel": lambda path: run_quorle(path, True),
    "quorle-split": lambda path: run_quorle(path, False, threads=SPLIT_THREADS),
    "python": run_python,
    "polars": run_polars,
    "duckdb": run_duckdb,
    "pyarrow": run_pyarrow,
    "pandas": run_pandas,
}


def run_engine(engine: str, path: str) -> Any:
    """The work that is timed: counts for a same-job engine, else a small summary."""
    if engine in JOB_RUNNERS:
        return JOB_RUNNERS[engine](path)
    if engine == "floor":
        return run_floor(path)
    if engine == "pandas-parse":
        import pandas

        return len(pandas.read_csv(path, low_memory=False))
    if engine == "pyarrow-parse":
        import pyarrow.csv

        return pyarrow.csv.read_csv(path).num_rows
    if engine == "polars-parse":
        import polars

        return polars.read_csv(path, infer_schema_length=None).height
    if engine == "duckdb-parse":
        import duckdb

        con = duckdb.connect()
        # Materialise every column, so the whole file is parsed and converted.
        con.execute("CREATE TABLE t AS SELECT * FROM read_csv(?, sample_size=-1)", [path])
        return con.execute("SELECT count(*) FROM t").fetchone()[0]
    if engine == "import":
        return 0
    raise ValueError(f"unknown engine {engine}")


def peer_module(engine: str) -> str | None:
    if engine.startswith("quorle"):
        return "quorle_ext"
    return PEER_MODULES.get(engine.split("-")[0])


def import_for(engine: str) -> None:
    module = peer_module(engine)
    if module is not None:
        __import__(module)
    if engine == "pyarrow":
        import pyarrow.compute  # noqa: F401


def worker(engine: str, path: str) -> None:
    """Child side: import, then time the work alone, and report as JSON."""
    import_for(engine)
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    summary = run_engine(engine, path)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    # CPU time of all the child's threads: on a busy machine it varies less
    # than wall time, and above wall time it shows an engine using several cores.
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    report = {"seconds": seconds, "cpu": cpu, "rss_kb": after.ru_maxrss}
    report.update(rss_import_kb=before.ru_maxrss, out=summary)
    print(json.dumps(report))


def spawn(engine: str, path: str) -> dict[str, Any]:
    start = time.perf_counter()
    proc = subprocess.run(
        [sys.executable, __file__, "--worker", engine, path],
        capture_output=True,
        text=True,
        check=False,
    )
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError(f"{engine} failed:\n{proc.stderr.strip()}")
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    result["wall"] = wall
    return result


def available(engine: str) -> str | None:
    """None when the engine can run here, else why not."""
    module = peer_module(engine)
    if module is None:
        return None
    probe = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True)
    return None if probe.returncode == 0 else f"{module} is not installed"


def write_prefix(src: str, size_mb: float, dest: str) -> None:
    """The first whole rows of src, at least size_mb MiB of them."""
    limit = int(size_mb * (1 << 20))
    with open(src, "rb") as f:
        head = f.read(limit)
        head += f.readline()
    with open(dest, "wb") as out:
        out.write(head)


def warm(path: str) -> None:
    run_floor(path)


def count_diff(label: str, got: Any, ref_label: str, expected: Any) -> str:
    """Empty when the counts agree, else one line per column that differs."""
    if got == expected:
        return ""
    lines = []
    for col in sorted(set(got) | set(expected)):
        if got.get(col) != expected.get(col):
            lines.append(
                f"{label} differs from {ref_label} in column {col!r}:\n"
                f"  {label}: {got.get(col)}\n  {ref_label}: {expected.get(col)}"
            )
    return "\n".join(lines)


def measure_all(engines: list[str], path: str, repeat: int) -> dict[str, dict[str, Any]]:
    """Each engine `repeat` times, in rounds so that a busy spell of the machine
    falls on every engine alike; stops at the first same-job run whose counts
    differ from the reference (quorle's first run, or the first same-job engine's)."""
    runs: dict[str, list[dict[str, Any]]] = {e: [] for e in engines}
    ref: tuple[str, Any] | None = None
    for _ in range(repeat):
        for engine in engines:
            run = spawn(engine, path)
            print(f"  {engine}: {run['seconds']:.3f} s", file=sys.stderr, flush=True)
            if engine in JOB_RUNNERS:
                if ref is None:
                    ref = (engine, run["out"])
                diff = count_diff(engine, run["out"], *ref)
                if diff:
                    raise CountMismatch(diff)
            runs[engine].append(run)
    return {e: summarize(r) for e, r in runs.items()}


def summarize(runs: list[dict[str, Any]]) -> dict[str, Any]:
    return {
        "seconds": statistics.median(r["seconds"] for r in runs),
        "wall": statistics.median(r["wall"] for r in runs),
        "cpu": statistics.median(r["cpu"] for r in runs),
        "rss_mb": max(r["rss_kb"] for r in runs) / 1024,
        "rss_import_mb": max(r["rss_import_kb"] for r in runs) / 1024,
        "out": runs[0]["out"],
        "runs": len(runs),
    }


def fmt_table(header: list[str], rows: list[list[str]], markdown: bool = False) -> str:
    """Aligned text columns, or a Markdown table (first column left-aligned)."""
    if markdown:
        line = lambda r: "| " + " | ".join(str(x) for x in r) + " |"  # noqa: E731
        rule = ["---"] + ["---:"] * (len(header) - 1)
        return "\n".join([line(header), line(rule)] + [line(r) for r in rows])
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows, strict=True)]
    line = lambda r: "  ".join(str(x).rjust(w) for x, w in zip(r, widths, strict=True))  # noqa: E731
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def engine_table(
    results: dict[str, dict[str, Any]],
    names: list[str],
    size_mb: float,
    ref: dict[str, Any] | None,
    file_label: str | None = None,
) -> str:
    """One row per engine; with file_label, a Markdown table whose first column
    names the file, so that the tables of several files can be joined."""
    rows = []
    for engine in names:
        r = results[engine]
        rows.append(
            ([file_label] if file_label else [])
            + [
                engine,
                f"{r['seconds']:.3f}",
                f"{r['cpu']:.3f}",
                f"{r['wall']:.3f}",
                f"{size_mb / r['seconds']:.1f}",
                f"{r['rss_mb']:.1f}",
                f"{r['rss_mb'] - r['rss_import_mb']:.1f}",
                f"{r['seconds'] / ref['seconds']:.2f}" if ref else "-",
                f"{r['cpu'] / ref['cpu']:.2f}" if ref else "-",
            ]
        )
    return fmt_table(
        (["file"] if file_label else [])
        + [
            "engine",
            "median s",
            "cpu s",
            "child wall s",
            "MB/s",
            "peak RSS MB",
            "RSS over import MB",
            "x quorle",
            "x quorle cpu",
        ],
        rows,
        markdown=file_label is not None,
    )


def compare(
    path: str,
    engines: list[str],
    repeat: int,
    parallel_file: str | None,
    parallel_mb: float,
    markdown: bool = False,
) -> int:
    size_mb = os.path.getsize(path) / (1 << 20)
    print(
        f"file: {path} ({size_mb:.1f} MiB), repeat {repeat}, "
        f"window {WINDOW}, {TABLE} table, {SPLIT_THREADS} split threads,"
        f" python {sys.version.split()[0]}, {os.cpu_count()} cpus, "
        f"load average {os.getloadavg()[0]:.1f}"
    )
    warm(path)
    base = spawn("import", path)
    print(
        f"interpreter baseline (child that only starts): {base['wall']:.3f} s wall, "
        f"{base['rss_kb'] / 1024:.1f} MB peak RSS"
    )

    notes: list[str] = []
    runnable = []
    parallel = False
    for engine in engines:
        why = available(engine)
        if why:
            notes.append(f"{engine}: skipped, {why}")
        elif engine == "quorle-parallel":
            parallel = True
        else:
            runnable.append(engine)
    results = measure_all(runnable, path, repeat)
    ref = results.get("quorle")
    label = Path(path).stem if markdown else None
    job = [e for e in runnable if e in JOB_RUNNERS]
    parse = [e for e in runnable if e not in JOB_RUNNERS]
    if job:
        print("\nsame job (counts per column and type; every run's counts checked equal)")
        print(engine_table(results, job, size_mb, ref, label))
        fields = sum(sum(c.values()) for c in results[job[0]]["out"].values())
        notes.append(
            f"{len(job)} same-job engines, {repeat} runs each, all gave the counts of "
            f"{job[0]} ({fields} fields)"
        )
    if parse:
        print("\nparse only (reading the file, not the job)")
        print(engine_table(results, parse, size_mb, ref, label))

    if parallel:
        print()
        print(parallel_table(path, parallel_file, parallel_mb, repeat))
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")
    for note in notes:
        print(f"note: {note}")
    return 0


def parallel_table(path: str, parallel_file: str | None, parallel_mb: float, repeat: int) -> str:
    with tempfile.TemporaryDirectory() as tmp:
        small = parallel_file
        if small is None:
            small = os.path.join(tmp, "prefix.csv")
            write_prefix(path, parallel_mb, small)
        size_mb = os.path.getsize(small) / (1 << 20)
        warm(small)
        res = measure_all(["quorle", "quorle-parallel"], small, repeat)
    seq = res["quorle"]
    fields = sum(sum(c.values()) for c in seq["out"].values())
    rows = []
    for name, r in res.items():
        rows.append(
            [
                name,
                f"{r['seconds']:.3f}",
                f"{r['cpu']:.3f}",
                f"{size_mb / r['seconds']:.2f}",
                f"{r['seconds'] / fields * 1e9:.0f}",
                f"{r['cpu'] / fields * 1e9:.0f}",
                f"{r['rss_mb']:.1f}",
                f"{r['seconds'] / seq['seconds']:.2f}",
            ]
        )
    title = (
        f"parallel mode on {parallel_file or f'the first {parallel_mb:g} MiB'} "
        f"({size_mb:.1f} MiB, {fields} fields, one thread per field)"
    )
    return (
        title
        + "\n"
        + fmt_table(
            [
                "engine",
                "median s",
                "cpu s",
                "MB/s",
                "ns/field",
                "cpu ns/field",
                "peak RSS MB",
                "x quorle",
            ],
            rows,
        )
    )


def check(path: str) -> int:
    """Differential check, in this process: every same-job engine that can run
    here gives quorle's sequential counts."""
    expected = run_quorle(path, False)
    ok = True
    for engine, run in JOB_RUNNERS.items():
        # The split pass refuses a small file; its identity is checked by the test suite.
        if engine in ("quorle", "quorle-split"):
            continue
        why = available(engine)
        if why:
            print(f"{engine}: skipped, {why}")
            continue
        diff = count_diff(engine, run(path), "quorle", expected)
        if diff:
            ok = False
            print(diff)
        else:
            print(
                f"{engine}: identical counts for {len(expected)} columns "
                f"({sum(sum(c.values()) for c in expected.values())} fields)"
            )
    return 0 if ok else 1


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("file")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument(
        "--engines",
        default=",".join(ENGINES),
        help=f"comma-separated subset of {','.join(ENGINES)}",
    )
    p.add_argument("--parallel-file", help="smaller file for the parallel mode")
    p.add_argument(
        "--parallel-mb",
        type=float,
        default=1.0,
        help="size of the prefix used for the parallel mode without --parallel-file",
    )
    p.add_argument(
        "--check",
        action="store_true",
        help="assert that every same-job engine gives quorle's counts, in this process",
    )
    p.add_argument(
        "--markdown",
        action="store_true",
        help="print the engine tables in Markdown, with a column naming the file",
    )
    p.add_argument("--window", type=int, help=f"value cache window (default {WINDOW})")
    p.add_argument(
        "--table",
        choices=("bench", "default"),
        help="the benchmark's pattern table (the default) or the one shipped with quorle",
    )
    p.add_argument(
        "--threads",
        type=int,
        help=f"threads of quorle-split and of polars (default {SPLIT_THREADS})",
    )
    p.add_argument("--worker", metavar="ENGINE", help=argparse.SUPPRESS)
    a = p.parse_args(argv)
    wanted = {
        "QUORLE_BENCH_WINDOW": a.window,
        "QUORLE_BENCH_TABLE": a.table,
        "QUORLE_BENCH_THREADS": a.threads,
        "POLARS_MAX_THREADS": a.threads or SPLIT_THREADS,
    }
    changed = {
        k: str(v) for k, v in wanted.items() if v is not None and os.environ.get(k) != str(v)
    }
    if changed and not a.worker:
        # Workers are fresh interpreters: they take the settings from the environment.
        os.environ.update(changed)
        os.execv(sys.executable, [sys.executable, __file__, *(argv or sys.argv[1:])])
    if a.worker:
        worker(a.worker, a.file)
        return 0
    if a.check:
        return check(a.file)
    engines = [e.strip() for e in a.engines.split(",") if e.strip()]
    unknown = [e for e in engines if e not in ENGINES]
    if unknown:
        p.error(f"unknown engines: {', '.join(unknown)}")
    try:
        return compare(a.file, engines, a.repeat, a.parallel_file, a.parallel_mb, a.markdown)
    except CountMismatch as e:
        print(f"FAILED: counts differ, the timings are not of one job\n{e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
