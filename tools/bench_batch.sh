#!/usr/bin/env bash
# Builds and installs velmora into .venv and runs the benchmark of the batch
# layer (bench/bench_batch.py): run() per worker against simulate, 2 workers
# against 1, the column hand-over against attribute reading, and the peak
# memory of a 10^8-PE dark-noise run written to Parquet. Extra arguments go
# to the benchmark, e.g. --quick or --skip-memory.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

echo "== pip install . (release build)"
"$PY" -m pip install -q --no-build-isolation -C build-dir=build/wheel .
echo "== bench/bench_batch.py"
"$PY" "$ROOT/bench/bench_batch.py" "$@"
