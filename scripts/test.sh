#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ tests in a plain build and under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, the Python tests against the plain build's module, then the
# installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

scripts/build.sh build
ctest --test-dir build -j "$(nproc)" --output-on-failure

scripts/build.sh build-asan -DQORVA_SANITIZE=address,undefined -DQORVA_PYTHON=OFF
ctest --test-dir build-asan -j "$(nproc)" --output-on-failure

scripts/build.sh build-tsan -DQORVA_SANITIZE=thread -DQORVA_PYTHON=OFF
ctest --test-dir build-tsan -j "$(nproc)" --output-on-failure -R 'Concurrent'

if compgen -G "tests/python/test_*.py" >/dev/null; then
  PYTHONPATH=python "${PYTHON:-/usr/bin/python3}" -m pytest -q tests/python
fi

# pip install into a fresh venv, offline, then use and type-check from outside the tree.
scripts/check_package.sh
