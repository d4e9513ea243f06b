#!/usr/bin/env bash
# Installs what it needs (apt-get, as root), checks the layout of the C++ files
# and runs every check: the C++ tests in a plain build, under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer; clang's thread-safety
# analysis over a clang build; the Python tests against the plain build's
# module, against the sanitized one and on each further supported interpreter
# present, with a module built for it; a short run of each fuzz target; a smoke
# run of bench/compare; then the installed package. Must run in a git checkout.
#
# PYTHON is the interpreter of the plain and sanitized builds (Debian's by
# default). PYTHONS lists the further ones (default "3.12 3.13"), each a version
# looked up in the usual places or an interpreter's path, as in
# PYTHONS="3.12 /opt/python/bin/python3.13"; one not found is reported, not failed.
# JOBS sets the parallel build and test jobs (one per core by default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
export JOBS=${JOBS:-$(nproc)}
python=${PYTHON:-/usr/bin/python3}
read -ra further_pythons <<<"${PYTHONS:-3.12 3.13}"

# One line per interpreter run of the Python tests, printed at the end.
summary=()

# Runs the Python tests with the command given (an interpreter, perhaps behind
# env) and keeps pytest's closing counts under the label. An old pytest on a
# new interpreter warns about its own use of the ast module; that is silenced.
python_tests() {
  local label=$1 log
  shift
  log=$(mktemp)
  "$@" -m pytest -q -W 'ignore::DeprecationWarning:_pytest.assertion.rewrite' tests/python | tee "$log"
  summary+=("$label: $(tail -n 1 "$log" | sed 's/ in [0-9.]*s.*//')")
  rm -f "$log"
}

describe() {  # interpreter -> "Python <version> (<path>)"
  echo "Python $("$1" -c 'import platform; print(platform.python_version())') ($1)"
}

# Where an interpreter of a version may be, best first: pyenv's builds (found
# without pyenv on PATH), then a local and a distribution install.
python_places() {
  local v=$1
  printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}/versions/$v.*/bin/python$v" "/root/.pyenv/versions/$v.*/bin/python$v" \
    "/usr/local/bin/python$v" "/usr/bin/python$v" | awk '!seen[$0]++'
}

# The first interpreter matching the patterns (a pattern's newest patch release
# first) that has the headers a module builds against.
first_python() {
  local has_headers='import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'
  local pattern candidate
  for pattern in "$@"; do
    for candidate in $(compgen -G "$pattern" | sort -rV); do
      if "$candidate" -c "$has_headers" 2>/dev/null; then
        echo "$candidate"
        return
      fi
    done
  done
}

# Every C++ file keeps the layout of .clang-format.
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run --Werror

scripts/build.sh build
ctest --test-dir build -j "$JOBS" --output-on-failure

scripts/build.sh build-asan -DQORVA_SANITIZE=address,undefined -DQORVA_PYTHON=ON \
  -DQORVA_PY_OUTPUT_DIR="$PWD/build-asan/python/qorva"
ctest --test-dir build-asan -j "$JOBS" --output-on-failure

scripts/build.sh build-tsan -DQORVA_SANITIZE=thread -DQORVA_PYTHON=OFF
ctest --test-dir build-tsan -j "$JOBS" --output-on-failure

# The locking contracts (src/thread_annotations.h) are checked by clang alone:
# the core, its tests and the benchmarks build with -Wthread-safety as errors.
CC=clang-16 CXX=clang++-16 scripts/build.sh build-clang -DQORVA_PYTHON=OFF

python_tests "$(describe "$python")" env PYTHONPATH=python "$python"

# The interpreter is not built with ASan, so the runtime is preloaded (and
# libstdc++ with it, or the first C++ throw fails); CPython's own allocations
# at exit would read as leaks.
python_tests "$(describe "$python"), ASan+UBSan module" \
  env LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
  PYTHONPATH=build-asan/python "$python"

# Pytest for the further interpreters: Debian's pure-Python packages alone (the
# rest of dist-packages holds modules compiled for its own interpreter), copied
# so that their byte-code caches stay out of /usr/lib.
pytest_libs=$PWD/build-pytest
rm -rf "$pytest_libs"
mkdir -p "$pytest_libs"
for package in pytest _pytest py.py pluggy iniconfig packaging py attr attrs; do
  cp -r "/usr/lib/python3/dist-packages/$package" "$pytest_libs/"
done

for entry in "${further_pythons[@]}"; do
  if [[ $entry == */* ]]; then places=("$entry"); else mapfile -t places < <(python_places "$entry"); fi
  interpreter=$(first_python "${places[@]}")
  if [[ -z $interpreter ]]; then
    summary+=("Python $entry: not found (looked for ${places[*]})")
    continue
  fi
  # Each interpreter gets its own build and package directory; only the
  # module and the test-only module are built there, against that
  # interpreter's headers.
  dir=build-py$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  PYTHON=$interpreter TARGETS="qorva_python qorva_python_testing" scripts/build.sh "$dir" -DQORVA_TESTS=OFF \
    -DQORVA_PY_TESTING=ON -DQORVA_PY_OUTPUT_DIR="$PWD/$dir/python/qorva"
  python_tests "$(describe "$interpreter")" env PYTHONPATH="$dir/python:$pytest_libs" "$interpreter"
done

# The fuzz targets need clang (libFuzzer); each runs briefly over its seeds.
CC=clang-16 CXX=clang++-16 TARGETS="ring_open_fuzz segment_reader_fuzz" scripts/build.sh build-fuzz -DQORVA_FUZZ=ON \
  -DQORVA_TESTS=OFF -DQORVA_PYTHON=OFF
for target in ring_open segment_reader; do
  build-fuzz/tests/fuzz/${target}_fuzz -max_total_time=10 "$(mktemp -d)" tests/fuzz/corpus/$target
done

# A few seconds of the side-by-side benchmark, to keep it running (no
# thresholds); it runs the alternatives that are installed, installing none.
bench/compare --smoke --out "$(mktemp -d)"

# pip install into a fresh venv, offline, then use and type-check from outside the tree.
scripts/check_package.sh

printf '%s\n' "Python tests:" "${summary[@]/#/  }"
