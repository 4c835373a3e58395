#!/usr/bin/env bash
# The whole benchmark suite in one run: installs the extension, builds
# core_bench twice (Release for timings, counting for HMACs and AES blocks
# per value) and a counting build of the extension, runs both, the Python
# bench and the table bench, prints their tables and writes
# bench/results/<date>-<commit>.json and bench/results/tables-<date>-<commit>.json.
#
#   bench/run.sh                 full size (about 15 minutes on an idle machine)
#   bench/run.sh --quick         20,000 values and rows: checks the suite, proves nothing
#   bench/run.sh --no-install    keep the installed extension
#   bench/run.sh --tables        the table bench alone
# Other arguments go to bench/bench.py (see --help there).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

install=1
args=()
tableArgs=()
strategies=1
coreTime=0.3
for arg in "$@"; do
  case "$arg" in
    --no-install) install=0 ;;
    --tables) strategies=0 ;;
    --quick)
      args+=(--values 20000 --rows 20000 --peer-values 5000 --faker-values 500)
      tableArgs+=(--rows 20000)
      coreTime=0.05
      ;;
    *) args+=("$arg") ;;
  esac
done

commit="$(git rev-parse --short HEAD)"
if ! git diff --quiet HEAD -- core py CMakeLists.txt 2>/dev/null; then commit="$commit-dirty"; fi
stamp="$(date +%Y-%m-%d)"
out="bench/results/$stamp-$commit.json"
tablesOut="bench/results/tables-$stamp-$commit.json"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
if [ "$install" = 1 ]; then
  echo "== setting up and installing the extension" >&2
  scripts/setup.sh --engine
fi

build() {  # build dir, extra cmake options...
  local dir="$1"
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVA_BENCH=ON -DZORVA_EXTENSION=OFF "$@" >/dev/null
  cmake --build "$dir" --target core_bench >/dev/null
}
echo "== building core_bench (Release, counting) and a counting extension" >&2
build build/bench-release -DZORVA_COUNTING=OFF
build build/bench-counting -DZORVA_COUNTING=ON
cmake -S . -B build/bench-counting-py -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVA_COUNTING=ON >/dev/null
cmake --build build/bench-counting-py --target zorva_rs >/dev/null

if [ "$strategies" = 1 ]; then
  echo "== core_bench" >&2
  ./build/bench-release/core_bench --benchmark_filter='^(strategy/|BM_HmacFloor|BM_AesBlock|BM_AesLanes|BM_HmacMany/64/1)' \
    --benchmark_min_time="$coreTime" --benchmark_repetitions=3 --benchmark_out="$scratch/core.json" --benchmark_out_format=json >/dev/null
  ./build/bench-counting/core_bench --benchmark_filter='^strategy/' --benchmark_min_time=0.02 \
    --benchmark_out="$scratch/counting.json" --benchmark_out_format=json >/dev/null

  echo "== Python bench (load: $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  python3 bench/bench.py --core "$scratch/core.json" --core-counting "$scratch/counting.json" \
    --commit "$commit" --out "$out" "${args[@]}"
  echo "results: $out" >&2
fi

echo "== table bench (load: $(cut -d' ' -f1-3 /proc/loadavg))" >&2
python3 bench/tables.py --counting-module build/bench-counting-py --core-bench build/bench-release/core_bench \
  --commit "$commit" --out "$tablesOut" "${tableArgs[@]}"
echo "results: $tablesOut" >&2
