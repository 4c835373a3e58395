#!/usr/bin/env bash
# Installs what the engine needs to build, test and run on a fresh Debian
# machine: native libraries from Debian, Python tools from PyPI. With
# --engine it also builds and installs the engine and the job's package
# (job/, the zorva-job command) into the current Python.
set -euo pipefail
cd "$(dirname "$0")/.."

debs=(build-essential cmake ninja-build pkg-config binutils libssl-dev libgmp-dev libmimalloc-dev
      libgtest-dev libbenchmark-dev clang libclang-rt-14-dev clang-format)
missing=()
for p in "${debs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check -r scripts/requirements.txt

if [ "${1:-}" = "--engine" ]; then
  CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) python3 -m pip install -q --disable-pip-version-check \
    --no-build-isolation --force-reinstall --no-deps .
  # The job's dependencies came with scripts/requirements.txt; the engine is the one just built.
  python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps ./job
fi
