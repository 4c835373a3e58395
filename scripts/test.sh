#!/usr/bin/env bash
# Sets everything up and runs every test: the GoogleTest suites of the core
# and the pool, then the Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZORVA_TESTS=ON -DZORVA_EXTENSION=OFF >/dev/null
cmake --build build/native -j "$jobs"
(cd build/native && ctest --output-on-failure)

# Run from outside the source tree so the installed module is the one imported.
python3 -m pytest -q -p no:cacheprovider --rootdir=. py/tests
