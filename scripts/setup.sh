#!/usr/bin/env bash
# Installs, where missing, the Debian 12 packages one command needs:
#   scripts/setup.sh demo    scripts/demo.sh: a compiler, CMake, ISA-L, Python's headers
#   scripts/setup.sh test    scripts/test.sh: that and every tool the tests run
#   scripts/setup.sh bench   bench/compare: that of demo and the systems it compares with
# Installing runs apt-get, so it needs root (a fresh Debian has no sudo).
set -euo pipefail
profile=${1:?usage: scripts/setup.sh demo|test|bench}

packages=(g++ cmake make libisal-dev python3-dev)
case $profile in
  demo) ;;
  test)
    # git: the layout check lists the C++ files with git ls-files.
    packages+=(git clang-format-14 libgtest-dev python3-pytest python3-numpy)
    # clang: the fuzz targets and the thread-safety analysis.
    packages+=(clang-16 libclang-rt-16-dev)
    # Installing the package with pip into a venv and checking its typing stubs.
    packages+=(python3-venv python3-pip python3-setuptools python3-wheel python3-mypy)
    ;;
  bench) packages+=(python3-zmq python3-matplotlib redis-server python3-redis python3-hiredis) ;;
  *)
    echo "unknown profile: $profile (demo, test or bench)" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup.sh $profile: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
