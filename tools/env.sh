# Sourced by the tools/ scripts: makes sure this machine has what velmora
# needs to build and test (Debian packages, a Python 3.12 venv with the build
# and test packages), then exports PY (the venv's python) and ROOT.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
export PYENV_VERSION="${PYENV_VERSION:-3.12}"

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need_apt+=(libbenchmark-dev)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
    echo "== installing Debian packages: ${need_apt[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

VENV="$ROOT/.venv"
if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    echo "== creating the Python 3.12 venv in .venv"
    rm -rf "$VENV"
    python3.12 -m venv "$VENV"
fi
PY="$VENV/bin/python"
# Reinstall the packages whenever tools/requirements-dev.txt changes.
REQS="$ROOT/tools/requirements-dev.txt"
STAMP="$VENV/.requirements-dev.sha256"
if [ ! -f "$STAMP" ] || [ "$(sha256sum < "$REQS")" != "$(cat "$STAMP")" ]; then
    echo "== installing the build and test packages"
    "$PY" -m pip install -q --upgrade pip
    "$PY" -m pip install -q -r "$REQS"
    sha256sum < "$REQS" > "$STAMP"
fi
export PATH="$VENV/bin:$PATH"
PYBIND11_DIR="$("$PY" -m pybind11 --cmakedir)"
export PY ROOT PYBIND11_DIR
JOBS="${JOBS:-2}"
