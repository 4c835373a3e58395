#!/usr/bin/env bash
# Fails when a tracked source file (C++, Python, shell, CMake) is over 600
# lines: past that a file holds more than one concern, and is split.
set -euo pipefail
cd "$(dirname "$0")/.."
max=600
long=$(git ls-files -z -- '*.cpp' '*.h' '*.inc' '*.py' '*.pyi' '*.sh' '*.cmake' 'CMakeLists.txt' '*/CMakeLists.txt' \
         .ci/run ':!:*/fuzz/corpus/*' | xargs -0 wc -l | awk -v max=$max '$2 != "total" && $1 > max')
if [ -n "$long" ]; then
  echo "check_lengths.sh: over $max lines:" >&2
  echo "$long" >&2
  exit 1
fi
echo "file lengths: none over $max lines"
