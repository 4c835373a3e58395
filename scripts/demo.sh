#!/usr/bin/env bash
# Sets everything up and runs the engine's main job on the built-in example.
# With --postgres it also runs the job on a throwaway PostgreSQL server of its
# own (scripts/pg_cluster.sh), stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --engine
if [ "${1:-}" = --postgres ]; then
  shift
  pg_dir=$(mktemp -d /tmp/zorva-pg.XXXXXX)
  trap 'scripts/pg_cluster.sh stop "$pg_dir"' EXIT
  pg_env=$(scripts/pg_cluster.sh start "$pg_dir")
  eval "$pg_env"  # libpq's PG* variables name the server
  python3 examples/demo.py --postgres "$@"
else
  python3 examples/demo.py "$@"
fi
