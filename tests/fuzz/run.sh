#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer and the address and undefined
# behaviour sanitizers, then runs each for SECONDS (default 60).
# Usage: bash tests/fuzz/run.sh [SECONDS]
# Exits non-zero if a target crashes or fails to build.
set -euo pipefail

SECONDS_PER_TARGET="${1:-60}"
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
OUT="$ROOT/build/fuzz"
CXX="${FUZZ_CXX:-clang++}"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

need=()
command -v "$CXX" >/dev/null 2>&1 || need+=(clang)
# Boost.Regex 1.81 is header-only: nothing of it is linked.
dpkg-query -W -f='${Status}' libboost1.81-dev 2>/dev/null | grep -q 'ok installed' || need+=(libboost1.81-dev)
# The fuzzer runtime ships separately from the compiler on Debian.
if command -v "$CXX" >/dev/null 2>&1; then
  rt="$("$CXX" -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a"
  [ -e "$rt" ] || need+=("libclang-rt-$("$CXX" -dumpversion | cut -d. -f1)-dev")
else
  need+=(libclang-rt-14-dev)
fi
if [ "${#need[@]}" -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A stale or missing package list is refreshed only when the install fails.
  $SUDO apt-get install -y --no-install-recommends "${need[@]}" ||
    { $SUDO apt-get update && $SUDO apt-get install -y --no-install-recommends "${need[@]}"; }
fi

mkdir -p "$OUT"
# A tokenizer block of 96 bytes: short inputs cross many block edges and the
# 64-byte stop masks meet them at every offset.
FLAGS=(-std=c++17 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
  -fno-sanitize-recover=all -fsanitize-coverage-ignorelist="$ROOT/tests/fuzz/coverage_ignore.txt"
  -DQUORLE_INPUT_BLOCK=96 -DQUORLE_FIELD_BUFFER=16 -DQUORLE_SMALL_TABLES -I"$ROOT/src" -I"$ROOT/tests/cpp")
# The compression libraries the input stream decodes with.
FLAGS+=(-lz -lzstd -lbz2 -llzma)
build() {
  local name="$1"
  shift
  echo "Building $name"
  "$CXX" "${FLAGS[@]}" "$@" -o "$OUT/$name" -pthread
}
build fuzz_parser "$ROOT/tests/fuzz/fuzz_parser.cpp" &
p1=$!
# The engine without its conversions to Python, which need the interpreter.
ENGINE=()
for source in "$ROOT"/src/*.cpp; do
  [ "$(basename "$source")" = py_convert.cpp ] || ENGINE+=("$source")
done
build fuzz_pass -DQUORLE_ENGINE_ONLY "$ROOT/tests/fuzz/fuzz_pass.cpp" "${ENGINE[@]}" &
p2=$!
build fuzz_split -DQUORLE_ENGINE_ONLY "$ROOT/tests/fuzz/fuzz_split.cpp" "${ENGINE[@]}" &
p3=$!
# Pipeline blocks of 64 bytes: characters and compressed blocks straddle their edges.
build fuzz_input -DQUORLE_PIPE_BLOCK=64 "$ROOT/tests/fuzz/fuzz_input.cpp" "$ROOT/src/input_source.cpp" \
  "$ROOT/src/decompressor.cpp" "$ROOT/src/transcoder.cpp" "$ROOT/src/row_reader.cpp" \
  "$ROOT/src/reading_rules.cpp" "$ROOT/src/zip_archive.cpp" "$ROOT/src/row_cursor.cpp" \
  "$ROOT/src/pass_watch.cpp" "$ROOT/src/sniff.cpp" "$ROOT/src/formats.cpp" &
p4=$!
# The value formats need neither the engine nor the compression libraries.
build fuzz_formats "$ROOT/tests/fuzz/fuzz_formats.cpp" "$ROOT/src/formats.cpp" "$ROOT/src/dfa.cpp" &
p5=$!
wait "$p1"
wait "$p2"
wait "$p3"
wait "$p4"
wait "$p5"

status=0
TIMEFORMAT='%U %S'
# The blocks are small, so tokenizer inputs need not be long; the pass target
# keeps long inputs, so that rows cross blocks and cache windows. The tokenizer's
# dictionary holds the bytes its rules turn on.
declare -A OPTIONS=([fuzz_parser]="-max_len=1024 -dict=$ROOT/tests/fuzz/fuzz_parser.dict"
  [fuzz_pass]="-max_len=4096 -len_control=0" [fuzz_split]="-max_len=4096 -len_control=0")
OPTIONS[fuzz_input]="-max_len=2048"
# A field is short; the formats' dictionary holds month names, halves of the day and separators.
OPTIONS[fuzz_formats]="-max_len=64 -dict=$ROOT/tests/fuzz/fuzz_formats.dict"
for target in fuzz_parser fuzz_pass fuzz_split fuzz_input fuzz_formats; do
  # A scratch copy: libFuzzer adds what it finds to the first corpus directory.
  work="$OUT/$target.run"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$ROOT"/tests/fuzz/corpus/* "$work/corpus/"
  echo "Running $target for ${SECONDS_PER_TARGET}s"
  before=$(find "$work/corpus" -type f | wc -l)
  # The pass target writes its files per input: on a memory file system when there is one.
  scratch="$work"
  if [ -w /dev/shm ]; then scratch="$(mktemp -d /dev/shm/quorle-fuzz.XXXXXX)"; fi
  # The target's own CPU time (user and system) goes to $work/cpu: on a shared machine
  # executions per CPU-second are what the target does, per wall second what it was given.
  if { time (cd "$work" && TMPDIR="$scratch" "$OUT/$target" ${OPTIONS[$target]} \
    -max_total_time="$SECONDS_PER_TARGET" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" corpus >"$work/log" 2>&1); } 2>"$work/cpu"; then
    after=$(find "$work/corpus" -type f | wc -l)
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$work/log" || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    cpu=$(awk '{ print int($1 + $2 + 0.5) }' "$work/cpu")
    echo "$target: ${runs:-0} executions in ${SECONDS_PER_TARGET}s, ${cpu} CPU-seconds:" \
      "$(( ${runs:-0} / (cpu > 0 ? cpu : 1) )) per CPU-second"
    echo "$target: coverage at the end: $(grep -o 'cov: [0-9]* ft: [0-9]*' "$work/log" | tail -n 1)"
    echo "$target: corpus $before -> $after files; log in $work/log"
  else
    status=1
    tail -n 60 "$work/log"
    echo "$target: CRASH; reproducer(s):"
    ls -1 "$work/artifacts"
  fi
  if [ "$scratch" != "$work" ]; then rm -rf "$scratch"; fi
done
exit "$status"
