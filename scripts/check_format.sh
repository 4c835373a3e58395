#!/usr/bin/env bash
# Fails when a tracked C++ file (*.cpp, *.h, *.inc; the fuzz corpus is data)
# differs from what clang-format makes of it with the root .clang-format.
# `clang-format -i FILE` fixes one; the check itself changes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format}
files=()
while IFS= read -r f; do files+=("$f"); done < <(git ls-files -- '*.cpp' '*.h' '*.inc' ':!:*/fuzz/corpus/*')
[ ${#files[@]} -gt 0 ] || { echo "check_format.sh: no C++ files found" >&2; exit 1; }
if ! "$clang_format" --dry-run -Werror "${files[@]}"; then
  echo "check_format.sh: the files above are not clang-formatted ($("$clang_format" --version))" >&2
  exit 1
fi
echo "clang-format: ${#files[@]} C++ files formatted"
