#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh DIR [cmake options...]
# TARGETS="a b" builds only those targets; JOBS sets the parallel jobs (one per core by default).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
cmake -S . -B "$dir" -DPYTHON="${PYTHON:-/usr/bin/python3}" "$@" >/dev/null
read -ra targets <<<"${TARGETS:-all}"
cmake --build "$dir" -j "${JOBS:-$(nproc)}" --target "${targets[@]}"
