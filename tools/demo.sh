#!/usr/bin/env bash
# Builds and installs velmora into .venv, installs matplotlib, and runs the
# demo (examples/demo.py); extra arguments go to the demo, e.g. --no-plot.
#   bash tools/demo.sh [--output DIR] [--no-plot]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

echo "== pip install . (release build)"
"$PY" -m pip install -q --no-build-isolation -C build-dir=build/wheel .
if ! "$PY" -c 'import matplotlib' 2>/dev/null; then
    echo "== installing matplotlib"
    "$PY" -m pip install -q matplotlib
fi
echo "== examples/demo.py"
"$PY" "$ROOT/examples/demo.py" "$@"
