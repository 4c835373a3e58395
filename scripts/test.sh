#!/usr/bin/env bash
# Sets everything up and runs every test:
#   0. the habits, first because they are quick: clang-format over the C++
#      (scripts/check_format.sh), ruff check and ruff format over all the
#      Python (settings in pyproject.toml), no source file over 600 lines
#      (scripts/check_lengths.sh), the folders' include arrows and private
#      headers (scripts/check_layout.py);
#   1. the GoogleTest suites of the core and the pool, built with warnings
#      as errors;
#   2. the package as users get it: the manylinux wheel of scripts/wheel.sh
#      (built from the sdist and checked there), installed into a fresh
#      virtual environment of every CPython 3.11+ on the machine, where the
#      Python tests run against it, the example tests against a throwaway
#      PostgreSQL server (scripts/pg_cluster.sh), beside the wheel of the job
#      package (job/: zorva-job); mypy --strict and stubtest, and mypy --strict
#      over the job's package, once, in the venv of the interpreter
#      scripts/setup.sh equipped;
#   3. the reliability stage: sanitizer builds and fuzzing (scripts/reliability.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh
jobs=$(nproc)
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs

echo "== habits"
scripts/check_format.sh
python3 -m ruff check --no-cache .
python3 -m ruff format --check --no-cache .
scripts/check_lengths.sh
scripts/check_layout.py --quiet

echo "== native tests"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZORVA_TESTS=ON -DZORVA_EXTENSION=OFF >/dev/null
cmake --build build/native
(cd build/native && ctest --output-on-failure)
# The core suite again on each SHA-256 road (the published vectors
# included); a road this CPU lacks leaves the default.
for road in portable shaNi shaNiQuad avx2 avx512; do
  echo "core tests on the $road road"
  ZORVA_SHA256_ROAD=$road build/native/core_tests --gtest_brief=1
done

echo "== wheel (scripts/wheel.sh)"
scripts/wheel.sh
wheel=$root/$(ls dist/zorva_rs-*.whl)
echo "== the job's wheel (job/)"
rm -f dist/zorva_job-*.whl
python3 -m pip wheel -q --disable-pip-version-check --no-deps -w dist ./job
job_wheel=$root/$(ls dist/zorva_job-*.whl)

# Every CPython from 3.11 up that the machine has, one interpreter per minor
# version: pyenv's builds first, then what PATH offers. The interpreter that
# scripts/setup.sh equipped (python3) tests in a venv over its own packages;
# the others in fresh venvs given scripts/requirements-suite.txt.
primary=$(python3 -c 'import sys; print(sys.executable)')
primary_minor=$(python3 -c 'import sys; print(sys.version_info[1])')
interpreters=()
for minor in $(seq 11 20); do
  if [ "$minor" = "$primary_minor" ]; then interpreters+=("$primary"); continue; fi
  for candidate in $(ls -d "$HOME"/.pyenv/versions/3."$minor"*/bin/python3."$minor" 2>/dev/null | sort -rV) \
                   "$(command -v python3."$minor" || true)"; do
    if [ -n "$candidate" ] && "$candidate" -c "import sys; assert sys.version_info[:2] == (3, $minor)" 2>/dev/null; then
      interpreters+=("$candidate")
      break
    fi
  done
done

pg_dir=$(mktemp -d /tmp/zorva-pg.XXXXXX)
trap '"$root/scripts/pg_cluster.sh" stop "$pg_dir"' EXIT
pg_env=$("$root/scripts/pg_cluster.sh" start "$pg_dir")
eval "$pg_env"  # ZORVA_PG_DSN and libpq's PG* variables
ran=()
for interpreter in "${interpreters[@]}"; do
  version=$("$interpreter" -c 'import platform; print(platform.python_version())')
  echo "== CPython $version: fresh virtual environment"
  started=$SECONDS
  venv=$root/build/venv-${version%.*}
  rm -rf "$venv"
  if [ "$interpreter" = "$primary" ]; then
    "$interpreter" -m venv --system-site-packages "$venv"
  else
    "$interpreter" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r scripts/requirements-suite.txt
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheel" "$job_wheel"
  # Tests import the installed wheel, never the source tree.
  (cd /tmp && "$venv/bin/python" "$root/py/testing/module_check.py" from "$venv" zorva_rs zorva_arrow)
  (cd /tmp && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir="$root" -c "$root/pyproject.toml" \
    "$root/py/tests" "$root/examples")
  if [ "$interpreter" = "$primary" ]; then
    # The stubs and the typed example are checked once: the stub is the same
    # for every version.
    (cd /tmp && "$venv/bin/python" -m mypy --strict --no-incremental "$root/examples/typed_usage.py" &&
      "$venv/bin/python" -m mypy.stubtest zorva_rs zorva_arrow)
    # The job's package, typed (settings in pyproject.toml; ruff checked it
    # with the rest of the Python at the start).
    (cd "$root/job/src" && "$venv/bin/python" -m mypy --strict --no-incremental \
      --config-file "$root/pyproject.toml" zorva_job)
  fi
  ran+=("$version")
  echo "CPython $version: $((SECONDS - started)) s"
done
"$root/scripts/pg_cluster.sh" stop "$pg_dir"
trap - EXIT
echo "the suite passed on CPython ${ran[*]} from $(basename "$wheel")"
[ ${#ran[@]} -gt 0 ] || { echo "no CPython 3.11 or later found" >&2; exit 1; }

echo "== reliability"
scripts/reliability.sh
