#!/usr/bin/env bash
# The reliability stage: the whole suite under AddressSanitizer +
# UndefinedBehaviorSanitizer with leak checks, ThreadSanitizer over the pool
# and over concurrent masking on one shared Masker, and short libFuzzer runs
# of the core's parsers and maskers and of the Arrow importer from their seed
# corpora (core/fuzz/corpus, py/arrow/c_data/fuzz/corpus).
# FUZZ_SECONDS (default 20) sets each fuzz target's run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
fuzz_seconds=${FUZZ_SECONDS:-20}
python=$(python3 -c 'import sys; print(sys.executable)')  # the real binary, not a shim
start=$SECONDS
stage() { echo "== $1 ($(( SECONDS - start ))s)"; }

stage "ASan+UBSan build"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZORVA_SANITIZE=ON -DZORVA_TESTS=ON -DZORVA_EXTENSION=ON \
  >/dev/null
cmake --build build/asan -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Fast unwinding stops at the interpreter's frames (no frame pointers), so an
# interpreter object's leak shows only interpreter frames, while the engine's
# own allocations (built with frame pointers) show engine frames on top.
# Full unwinding on every malloc makes the Python suite about 20 times slower.
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=0

stage "ASan+UBSan: native tests"
build/asan/core_tests --gtest_brief=1
build/asan/pool_tests --gtest_brief=1

stage "ASan+UBSan: Python tests"
asan_env=(env LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc
          PYTHONPATH="$root/build/asan" ZORVA_ROAD_SWITCH=1
          ZORVA_HYPOTHESIS_EXAMPLES="${ZORVA_HYPOTHESIS_EXAMPLES:-25}")
(cd /tmp && "${asan_env[@]}" "$python" "$root/py/testing/module_check.py" from \
  "$root/build/asan/zorva_rs.abi3.so" zorva_rs)
(cd /tmp && "${asan_env[@]}" "$python" -m pytest -q -p no:cacheprovider --rootdir="$root" \
  -c "$root/pyproject.toml" --ignore="$root/py/tests/test_build.py" "$root/py/tests")

stage "TSan build"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZORVA_TSAN=ON -DZORVA_TESTS=ON -DZORVA_EXTENSION=ON \
  >/dev/null
cmake --build build/tsan -j "$jobs" --target pool_tests zorva_rs zorva_arrow

stage "TSan: pool tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/pool_tests --gtest_brief=1

# The interpreter is not instrumented, so it reports nothing of its own; its
# lock handoffs go through pthread calls that TSan intercepts, so objects
# guarded by the interpreter lock are seen as synchronised. The one
# suppression: glibc frees a finished detached thread's TLS block from the
# thread that next reuses its cached stack, a handoff TSan cannot see.
tsan_supp=build/tsan/python.supp
echo "race:_dl_deallocate_tls" >"$tsan_supp"
tsan_driver() {
  (cd /tmp && env LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" PYTHONMALLOC=malloc \
    PYTHONPATH="$root/build/tsan" \
    TSAN_OPTIONS="halt_on_error=1:exitcode=66:suppressions=$root/$tsan_supp" \
    "$python" "$root/py/testing/tsan_driver.py" "$1" "$root/build/tsan/$2.abi3.so")
}
stage "TSan: Python threads on one shared Masker"
tsan_driver rows zorva_rs
stage "TSan: Arrow batches on shared Maskers"
tsan_driver arrow zorva_arrow

stage "libFuzzer build"
CXX=clang++ cmake -S fuzz -B build/fuzz -G Ninja >/dev/null
cmake --build build/fuzz -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
for target in core/fuzz/corpus/*_fuzz py/arrow/c_data/fuzz/corpus/*_fuzz; do
  name=$(basename "$target")
  stage "fuzz $name"
  work=build/fuzz/work/$name
  mkdir -p "$work" build/fuzz/artifacts
  # New inputs go to the work directory; the corpus in the repository is read only.
  log=build/fuzz/$name.log
  if ! build/fuzz/"$name" -max_total_time="$fuzz_seconds" -max_len=1024 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix=build/fuzz/artifacts/"$name"- -print_final_stats=1 "$work" "$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    exit 1
  fi
  grep -E "^stat::number_of_executed_units" "$log"
done

stage "reliability stage done"
