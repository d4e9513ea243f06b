#!/usr/bin/env bash
# Installs what the demo needs (apt-get, as root), builds the extension module
# alone and runs the demo: a publisher and subscribers in separate processes,
# a publisher restart and a late replay.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh demo
# A tree and package directory of its own, so that it never replaces the
# development module in python/qorva/.
TARGETS=qorva_python scripts/build.sh build-demo -DCMAKE_BUILD_TYPE=Release -DQORVA_TESTS=OFF \
  -DQORVA_PY_OUTPUT_DIR="$PWD/build-demo/python/qorva"
PYTHONPATH=build-demo/python "${PYTHON:-/usr/bin/python3}" examples/demo.py "$@"
