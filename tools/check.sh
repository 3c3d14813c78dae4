#!/usr/bin/env bash
# Builds velmora and runs every test: C++ (GoogleTest) and Python (pytest),
# first on the release build installed with pip, then on a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
#   bash tools/check.sh                  everything
#   bash tools/check.sh --no-sanitize    release build only
#   bash tools/check.sh --sanitize-only  sanitizer build only
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

mode="${1:-all}"

check_format() {
    echo "== clang-format"
    git ls-files '*.h' '*.cpp' | xargs "$VENV/bin/clang-format" --dry-run --Werror
}

check_tidy() {
    echo "== clang-tidy on src/ and bench/ (no warnings beyond tools/tidy_baseline.txt)"
    cmake -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVELMORA_BUILD_MODULE=ON \
        -DVELMORA_BUILD_BENCH=ON -Dpybind11_DIR="$PYBIND11_DIR" -DPython_EXECUTABLE="$PY" >/dev/null
    "$PY" tools/tidy.py --build build/tidy --jobs "$JOBS"
}

check_types() {
    echo "== mypy --strict (velmora_batch, examples, typed usage samples), stubtest against the installed modules"
    "$PY" -m mypy --strict --cache-dir build/mypy src/velmora_batch examples/*.py tests/typing/*.py
    "$PY" -m mypy.stubtest velmora velmora_batch._core --allowlist tests/typing/stubtest_allowlist.txt
}

run_release() {
    echo "== pip install . (release build)"
    "$PY" -m pip install -q --no-build-isolation -C build-dir=build/wheel .
    check_types
    echo "== C++ tests (release)"
    cmake -S . -B build/tests -G Ninja -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_MODULE=OFF -DVELMORA_WERROR=ON
    cmake --build build/tests -j "$JOBS"
    ctest --test-dir build/tests --output-on-failure -j "$JOBS"
    echo "== Python tests (installed module)"
    (cd "$ROOT/tests" && "$PY" -m pytest -c "$ROOT/pyproject.toml" --rootdir "$ROOT" python -q)
}

run_sanitized() {
    echo "== build with -fsanitize=address,undefined and -D_GLIBCXX_ASSERTIONS"
    # -O1 -g1 keeps the sanitized build quick while giving usable stack traces.
    cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DVELMORA_SANITIZE=ON \
        -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_MODULE=ON -Dpybind11_DIR="$PYBIND11_DIR" \
        -DPython_EXECUTABLE="$PY"
    cmake --build build/asan -j "$JOBS"
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    echo "== C++ tests under the sanitizers"
    ctest --test-dir build/asan --output-on-failure -j "$JOBS"
    echo "== Python tests under the sanitizers"
    # python3.12 itself is not sanitized: preload the ASan runtime, and the C++
    # runtime with it so that ASan can intercept exceptions thrown by the module.
    local preload
    preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    (cd "$ROOT/tests" && LD_PRELOAD="$preload" PYTHONPATH="$ROOT/build/asan" VELMORA_EXPECT_MODULE_DIR="$ROOT/build/asan" \
        "$PY" -m pytest -c "$ROOT/pyproject.toml" --rootdir "$ROOT" python -q -p no:cacheprovider)
}

case "$mode" in
    all) check_format; check_tidy; run_release; run_sanitized ;;
    --no-sanitize) check_format; check_tidy; run_release ;;
    --sanitize-only) run_sanitized ;;
    *) echo "usage: $0 [--no-sanitize|--sanitize-only]" >&2; exit 2 ;;
esac
echo "== all tests passed"
