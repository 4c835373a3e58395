#!/usr/bin/env bash
# Sets everything up and runs every test:
#   1. the GoogleTest suites of the core and the pool;
#   2. the package as users get it: sdist -> wheel built from the sdist ->
#      abi3 audit -> installed into a fresh virtual environment, where the
#      Python tests, mypy --strict and stubtest run against it, the example
#      tests against a throwaway PostgreSQL server (scripts/pg_cluster.sh);
#   3. the reliability stage: sanitizer builds and fuzzing (scripts/reliability.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh
jobs=$(nproc)
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs

echo "== native tests"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DZORVA_TESTS=ON -DZORVA_EXTENSION=OFF >/dev/null
cmake --build build/native
(cd build/native && ctest --output-on-failure)

echo "== sdist and wheel"
rm -rf build/dist
python3 -m build --sdist --no-isolation --outdir build/dist . >/dev/null
sdist=$(ls build/dist/zorva_rs-*.tar.gz)
python3 -m pip wheel -q --no-deps --no-build-isolation -w build/dist "$sdist"
wheel=$(ls build/dist/zorva_rs-*.whl)
echo "built $(basename "$wheel")"
case "$(basename "$wheel")" in
  *-cp311-abi3-*.whl) ;;
  *) echo "the wheel is not tagged cp311-abi3" >&2; exit 1 ;;
esac
abi3audit --strict --report "$wheel"

echo "== fresh virtual environment"
rm -rf build/venv
python3 -m venv --system-site-packages build/venv
venv_python=$root/build/venv/bin/python
"$venv_python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheel"
# Tests import the installed wheel, never the source tree.
cd /tmp
"$venv_python" - <<PY
import zorva_rs, zorva_arrow, sys
for module in (zorva_rs, zorva_arrow):
    assert module.__file__.startswith("$root/build/venv/"), module.__file__
    print("testing", module.__file__)
PY
pg_dir=$(mktemp -d /tmp/zorva-pg.XXXXXX)
trap '"$root/scripts/pg_cluster.sh" stop "$pg_dir"' EXIT
pg_env=$("$root/scripts/pg_cluster.sh" start "$pg_dir")
eval "$pg_env"  # ZORVA_PG_DSN and libpq's PG* variables
"$venv_python" -m pytest -q -p no:cacheprovider --rootdir="$root" -c "$root/pyproject.toml" \
  "$root/py/tests" "$root/examples"
"$root/scripts/pg_cluster.sh" stop "$pg_dir"
trap - EXIT
"$venv_python" -m mypy --strict --no-incremental "$root/examples/typed_usage.py"
"$venv_python" -m mypy.stubtest zorva_rs
"$venv_python" -m mypy.stubtest zorva_arrow
cd "$root"

echo "== reliability"
scripts/reliability.sh
