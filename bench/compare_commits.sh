#!/usr/bin/env bash
# Times two commits of quorle on the same inputs: each is built into its own virtualenv
# (kept under build/compare/<hash> for the next run), and the benchmarks run alternately,
# A then B, for ROUNDS rounds, so that a busy spell of the machine falls on both alike.
#
#   bash bench/compare_commits.sh A B [BENCH...]      BENCH: pass split many load (default: all)
#
# Environment: ROUNDS (default 3), BENCH_MB (size of bench/data/mixed.csv when it has to be
# generated, default 200), PYTHON (the interpreter the virtualenvs are made from).
set -euo pipefail

BENCHMARKS=(pass split many load)
SMALL_FILES=200
SMALL_MB=0.01
BUILD_REQS=("scikit-build-core>=0.8" "pybind11>=2.10,<2.12" cmake ninja)
BUILT_MARK=.quorle-built

usage() {
  echo "usage: bash bench/compare_commits.sh A B [${BENCHMARKS[*]}]" >&2
  exit 2
}

[ $# -ge 2 ] || usage
ROOT=$(git rev-parse --show-toplevel)
cd "$ROOT"
ROUNDS=${ROUNDS:-3}
BENCH_MB=${BENCH_MB:-200}
PYTHON=${PYTHON:-python3}
CACHE=$ROOT/build/compare
INPUT=$ROOT/bench/data/mixed.csv
SMALL_DIR=$CACHE/data
# Each commit's package must come from its own virtualenv, never from a source tree.
unset PYTHONPATH PYTHONHOME
[[ $ROUNDS =~ ^[1-9][0-9]*$ ]] || { echo "ROUNDS must be a positive integer" >&2; exit 2; }

commit_of() {
  git rev-parse --verify --quiet "$1^{commit}" || { echo "not a commit: $1" >&2; exit 2; }
}
HASH_A=$(commit_of "$1")
HASH_B=$(commit_of "$2")
shift 2
SELECTED=("$@")
[ ${#SELECTED[@]} -gt 0 ] || SELECTED=("${BENCHMARKS[@]}")
for name in "${SELECTED[@]}"; do
  [[ " ${BENCHMARKS[*]} " == *" $name "* ]] || { echo "unknown benchmark: $name" >&2; usage; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/compare_commits.XXXXXX")
WORKTREES=()
BUILDING=""  # the virtualenv being built, removed if the run stops before it is finished
cleanup() {
  [ -z "$BUILDING" ] || rm -rf "$BUILDING"
  for tree in "${WORKTREES[@]}"; do
    git -C "$ROOT" worktree remove --force "$tree" 2>/dev/null || true
  done
  git -C "$ROOT" worktree prune
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Builds the commit's virtualenv $CACHE/HASH from a temporary worktree, unless a finished one
# is there; one left half-built by a failed or stopped run is built again.
build_venv() {
  local hash=$1 venv=$CACHE/$1 tree=$WORK/tree-$1
  [ -e "$venv/$BUILT_MARK" ] && return
  echo "building ${hash:0:10} into $venv" >&2
  rm -rf "$venv"
  BUILDING=$venv
  git worktree add --quiet --detach "$tree" "$hash"
  WORKTREES+=("$tree")
  "$PYTHON" -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check --no-build-isolation "${BUILD_REQS[@]}" >&2
  "$venv/bin/pip" install -q --disable-pip-version-check --no-build-isolation "$tree" >&2
  touch "$venv/$BUILT_MARK"
  BUILDING=""
}

# Inputs come from this tree's generator, so that both commits read the same bytes.
make_inputs() {
  if [ ! -f "$INPUT" ]; then
    mkdir -p "$(dirname "$INPUT")"
    "$PYTHON" bench/gen_data.py --kind mixed --size-mb "$BENCH_MB" --seed 1 "$INPUT.part"
    mv "$INPUT.part" "$INPUT"
  fi
  if [[ " ${SELECTED[*]} " == *" many "* && ! -d $SMALL_DIR ]]; then
    local part=$SMALL_DIR.part
    rm -rf "$part"
    mkdir -p "$part"
    for i in $(seq -w 1 "$SMALL_FILES"); do
      "$PYTHON" bench/gen_data.py --kind mixed --size-mb "$SMALL_MB" --seed "$i" \
        "$part/small-$i.csv" >/dev/null
    done
    mv "$part" "$SMALL_DIR"
  fi
  cat "$INPUT" >/dev/null  # into the page cache before the first timed run
}

# One run in a fresh interpreter: prints the seconds of the work alone (for load, the command).
cat >"$WORK/driver.py" <<'EOF'
import glob
import os
import subprocess
import sys
import time


def main(kind: str, target: str, rest: list[str]) -> float:
    if kind == "load":
        database, command = rest[0], rest[1:]
        if os.path.exists(database):
            os.remove(database)
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        return time.perf_counter() - start
    import quorle

    paths = sorted(glob.glob(os.path.join(target, "*.csv"))) if kind == "many" else []
    start = time.perf_counter()
    if kind == "pass":
        quorle.infer(target, jobs=1)
    elif kind == "split":
        quorle.infer(target)
    else:
        quorle.infer_many(paths, strict=True)
    return time.perf_counter() - start


# The guard keeps infer_many's worker processes, which import this script, from running it.
if __name__ == "__main__":
    print(f"{main(sys.argv[1], sys.argv[2], sys.argv[3:]):.6f}")
EOF

run_one() {
  local name=$1 side=$2 venv=$3 database=$WORK/$2.db
  case $name in
    many) "$venv/bin/python" -I "$WORK/driver.py" many "$SMALL_DIR" ;;
    load)
      "$venv/bin/python" -I "$WORK/driver.py" load "$INPUT" "$database" "$venv/bin/quorle" load \
        "$INPUT" --into "sqlite:///$database" --schema "$WORK/schema-$side.json"
      ;;
    *) "$venv/bin/python" -I "$WORK/driver.py" "$name" "$INPUT" ;;
  esac
}

build_venv "$HASH_A"
build_venv "$HASH_B"
VENV_A=$CACHE/$HASH_A
VENV_B=$CACHE/$HASH_B
make_inputs
if [[ " ${SELECTED[*]} " == *" load "* ]]; then
  for side in A B; do
    venv=$VENV_A commit=$HASH_A
    [ "$side" = B ] && venv=$VENV_B commit=$HASH_B
    "$venv/bin/quorle" schema --dialect json "$INPUT" >"$WORK/schema-$side.json" ||
      { echo "compare_commits: quorle schema failed at ${commit:0:10}" >&2; exit 1; }
  done
fi

LOAD_AT_START=$(cut -d' ' -f1-3 /proc/loadavg)
RESULTS=$WORK/results.tsv
: >"$RESULTS"
for ((round = 1; round <= ROUNDS; round++)); do
  for name in "${SELECTED[@]}"; do
    for side in A B; do
      venv=$VENV_A
      [ "$side" = B ] && venv=$VENV_B
      seconds=$(run_one "$name" "$side" "$venv") ||
        { echo "compare_commits: $name failed at $side" >&2; exit 1; }
      printf '%s\t%s\t%s\n' "$name" "$side" "$seconds" >>"$RESULTS"
      echo "round $round/$ROUNDS: $name $side ${seconds}s" >&2
    done
  done
done

"$PYTHON" - "$RESULTS" "$(git rev-parse --short "$HASH_A")" "$(git rev-parse --short "$HASH_B")" \
  "$(nproc)" "$LOAD_AT_START" "$ROUNDS" "$INPUT" <<'EOF'
import os
import statistics
import sys

results, short_a, short_b, cores, load, rounds, path = sys.argv[1:]
times: dict[str, dict[str, list[float]]] = {}
for line in open(results):
    name, side, seconds = line.split("\t")
    times.setdefault(name, {"A": [], "B": []})[side].append(float(seconds))
print(
    f"machine: nproc {cores}, load average {load} before the first run; median of {rounds} round(s);"
    f" {os.path.relpath(path)} {os.path.getsize(path) / (1 << 20):.0f} MiB"
)
print()
print(f"| benchmark | A {short_a} s | B {short_b} s | B / A |")
print("| --- | --- | --- | --- |")
for name, sides in times.items():
    a, b = statistics.median(sides["A"]), statistics.median(sides["B"])
    print(f"| {name} | {a:.3f} | {b:.3f} | {b / a:.2f} |")
EOF
