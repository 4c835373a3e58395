#!/usr/bin/env bash
# Installs everything the engine needs to build, test and run on a fresh
# Debian machine: the native libraries from Debian, the Python tools from PyPI,
# and the engine itself into the current Python.
set -euo pipefail
cd "$(dirname "$0")/.."

debs=(build-essential cmake ninja-build pkg-config binutils libssl-dev libgmp-dev libmimalloc-dev
      libgtest-dev libbenchmark-dev libboost1.81-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

python3 -m pip install -q --upgrade -r scripts/requirements.txt
python3 -m pip install -q --no-build-isolation .
