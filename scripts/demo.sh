#!/usr/bin/env bash
# Sets up, builds the extension module and runs the demo: a publisher and
# subscribers in separate processes, a publisher restart and a late replay.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build-demo -DCMAKE_BUILD_TYPE=Release -DQORVA_TESTS=OFF
PYTHONPATH=python "${PYTHON:-/usr/bin/python3}" examples/demo.py "$@"
