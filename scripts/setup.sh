#!/usr/bin/env bash
# Installs the Debian packages qorva builds and tests with, where missing.
set -euo pipefail
packages=(g++ cmake make libgtest-dev libisal-dev python3-dev python3-pytest python3-numpy clang-16 libclang-rt-16-dev
  clang-format-14)
# Installing the package with pip into a venv and checking its typing stubs.
packages+=(python3-venv python3-pip python3-setuptools python3-wheel python3-mypy)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
