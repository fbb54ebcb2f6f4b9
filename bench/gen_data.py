"""Write a seeded, deterministic CSV file for benchmarking.

"mixed" is high-cardinality data: most field texts are new within any window
of rows, so a value cache rarely helps. "repetitive" is low-cardinality data:
almost every field text repeats, so cache hits dominate.

    python bench/gen_data.py --kind mixed --size-mb 200 --seed 1 bench/data/mixed.csv
"""

from __future__ import annotations

import argparse
import datetime as dt
import random
import sys
from collections.abc import Callable

CHUNK_ROWS = 20_000
WRITE_BUFFER = 8 << 20
MISSING = ["", "NA", "N/A", "null", "NULL", "None", "-"]

WORDS = (
    "alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike "
    "november oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee "
    "zulu red green blue amber north south east west river stone field harbour market "
    "station bridge tower garden orchard meadow valley summit"
).split()


def _dates(days: int) -> list[str]:
    start = dt.date(2015, 1, 1)
    return [(start + dt.timedelta(days=i)).isoformat() for i in range(days)]


def _clock() -> list[str]:
    return [f"{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}" for s in range(86400)]


def _phrases(rng: random.Random, count: int) -> list[str]:
    # Commas and doubled quotes force the tokenizer through its quoted path.
    out = []
    for _ in range(count):
        words = rng.choices(WORDS, k=rng.randint(2, 6))
        roll = rng.random()
        if roll < 0.3:
            words[rng.randrange(len(words))] += ","
        elif roll < 0.45:
            i = rng.randrange(len(words))
            words[i] = f'""{words[i]}""'
        out.append(" ".join(words))
    return out


def _mixed(rng: random.Random) -> tuple[str, Callable[[int, int], list[str]]]:
    header = "id,amount,created_at,zip,note,score,status,flag,region,opened"
    dates = _dates(3650)
    clock = _clock()
    zips = [f"{i:05d}" for i in range(100_000)]
    left = _phrases(rng, 3000)
    right = _phrases(rng, 3000)
    statuses = ["active", "pending", "closed", "suspended"]
    regions = ["north", "south", "east", "west", "central"]
    flags = ["true", "false"]
    score_missing = MISSING[1:]

    def chunk(first: int, rows: int) -> list[str]:
        ch = rng.choices
        ids = range(first, first + rows)
        cents = [rng.randrange(-5_000_000, 50_000_000) for _ in range(rows)]
        amounts = [f"{c / 100:.2f}" for c in cents]
        stamps = [f"{d}T{t}" for d, t in zip(ch(dates, k=rows), ch(clock, k=rows), strict=True)]
        notes = [f'"{a}; {b}"' for a, b in zip(ch(left, k=rows), ch(right, k=rows), strict=True)]
        scores = [
            rng.choice(score_missing) if r < 0.1 else f"{r * 1000:.3f}"
            for r in (rng.random() for _ in range(rows))
        ]
        cols = (
            map(str, ids),
            amounts,
            stamps,
            ch(zips, k=rows),
            notes,
            scores,
            ch(statuses, weights=[6, 2, 1, 1], k=rows),
            ch(flags, k=rows),
            ch(regions, k=rows),
            ch(dates, k=rows),
        )
        return [",".join(r) for r in zip(*cols, strict=True)]

    return header, chunk


def _repetitive(rng: random.Random) -> tuple[str, Callable[[int, int], list[str]]]:
    header = "category,quantity,in_stock,day,comment,rating,channel,store"
    categories = ["books", "music", "garden", "toys", "tools", "food", "games", "sport"]
    quantities = [str(i) for i in range(1, 25)]
    booleans = ["true", "false"]
    days = _dates(365)
    channels = ["web", "store", "phone"]
    stores = [f"{i:03d}" for i in range(1, 40)]
    ratings = [str(i) for i in range(1, 6)]
    comment_values = MISSING + ["ok", "late", "damaged"]
    comment_weights = [20, 10, 3, 3, 3, 3, 3, 40, 10, 5]

    def chunk(first: int, rows: int) -> list[str]:
        ch = rng.choices
        cols = (
            ch(categories, k=rows),
            ch(quantities, k=rows),
            ch(booleans, weights=[3, 1], k=rows),
            ch(days, k=rows),
            ch(comment_values, weights=comment_weights, k=rows),
            ch(ratings, k=rows),
            ch(channels, k=rows),
            ch(stores, k=rows),
        )
        return [",".join(r) for r in zip(*cols, strict=True)]

    return header, chunk


KINDS = {"mixed": _mixed, "repetitive": _repetitive}


def generate(out: str, kind: str = "mixed", size_mb: float = 10, seed: int = 1) -> int:
    """Writes whole rows until the file holds at least size_mb MiB; returns the data rows."""
    rng = random.Random(seed)
    header, chunk = KINDS[kind](rng)
    target = int(size_mb * (1 << 20))
    rows = 0
    written = 0
    with open(out, "w", encoding="ascii", newline="", buffering=WRITE_BUFFER) as f:
        written += f.write(header + "\n")
        while written < target:
            lines = chunk(rows + 1, CHUNK_ROWS)
            text = "\n".join(lines) + "\n"
            if written + len(text) > target:
                # Trim the last chunk to whole rows that reach the target.
                need = target - written
                cut = text.find("\n", need - 1 if need > 0 else 0) + 1
                text = text[:cut]
                lines = lines[: text.count("\n")]
            written += f.write(text)
            rows += len(lines)
    return rows


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--kind", choices=sorted(KINDS), default="mixed")
    p.add_argument("--size-mb", type=float, default=10.0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("out")
    a = p.parse_args(argv)
    rows = generate(a.out, a.kind, a.size_mb, a.seed)
    print(f"{a.out}: {a.kind}, {rows} data rows", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
