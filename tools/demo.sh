#!/usr/bin/env bash
# Builds and installs velmora into .venv, installs matplotlib, and runs the
# demos: examples/demo.py (a few channels through the velmora module) and
# examples/detector_demo.py (a whole detector through `velmora run`); extra
# arguments go to both, e.g. --no-plot.
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
echo "== examples/detector_demo.py"
"$PY" "$ROOT/examples/detector_demo.py" "$@"
