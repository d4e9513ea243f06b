#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ tests in a plain build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, the Python tests against the plain build's module and again
# against the sanitized one, a short run of each fuzz target, then the
# installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

scripts/build.sh build
ctest --test-dir build -j "$(nproc)" --output-on-failure

scripts/build.sh build-asan -DQORVA_SANITIZE=address,undefined -DQORVA_PYTHON=ON \
  -DQORVA_PY_OUTPUT_DIR="$PWD/build-asan/python/qorva"
ctest --test-dir build-asan -j "$(nproc)" --output-on-failure

scripts/build.sh build-tsan -DQORVA_SANITIZE=thread -DQORVA_PYTHON=OFF
ctest --test-dir build-tsan -j "$(nproc)" --output-on-failure -R 'Concurrent'

PYTHONPATH=python "${PYTHON:-/usr/bin/python3}" -m pytest -q tests/python

# The interpreter is not built with ASan, so the runtime is preloaded (and
# libstdc++ with it, or the first C++ throw fails); CPython's own allocations
# at exit would read as leaks.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
  PYTHONPATH=build-asan/python "${PYTHON:-/usr/bin/python3}" -m pytest -q tests/python

# Only the fuzz targets build with clang; each runs briefly over its seeds.
CC=clang-16 CXX=clang++-16 cmake -S . -B build-fuzz -DQORVA_FUZZ=ON -DQORVA_TESTS=OFF -DQORVA_PYTHON=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target ring_open_fuzz segment_reader_fuzz
for target in ring_open segment_reader; do
  build-fuzz/tests/fuzz/${target}_fuzz -max_total_time=10 "$(mktemp -d)" tests/fuzz/corpus/$target
done

# A few seconds of the side-by-side benchmark, to keep it running (no thresholds).
bench/compare --smoke --out "$(mktemp -d)"

# pip install into a fresh venv, offline, then use and type-check from outside the tree.
scripts/check_package.sh
