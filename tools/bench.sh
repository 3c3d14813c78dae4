#!/usr/bin/env bash
# Builds and installs velmora into .venv and runs the Python benchmark of
# simulate (bench/bench_simulate.py); extra arguments go to the benchmark,
# e.g. --repeat 5, --cases a c, --json bench/results/simulate.json.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

echo "== pip install . (release build)"
"$PY" -m pip install -q --no-build-isolation -C build-dir=build/wheel .
echo "== bench/bench_simulate.py"
"$PY" "$ROOT/bench/bench_simulate.py" "$@"
