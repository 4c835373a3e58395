#!/usr/bin/env bash
# Sets everything up and runs the engine's main job on the built-in example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --engine
python3 examples/demo.py "$@"
