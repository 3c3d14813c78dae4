#!/usr/bin/env bash
# Builds the native benchmark (bench/*.cpp, Release) in build/bench and runs it: simulate of
# both detector models against the plain composition of their stages and the draw floor. Extra
# arguments go to Google Benchmark, e.g. --benchmark_filter=ZozuvUza/c.
# VELMORA_BENCH_PLAIN_GIB caps the memory that the plain composition may need (default: half of the
# available memory); cases above it time only (1) and (3).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

echo "== configure and build build/bench (Release)"
cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_BENCH=ON \
    -DVELMORA_BUILD_MODULE=OFF >/dev/null
cmake --build "$ROOT/build/bench" -j "$JOBS" --target velmora_bench
echo "== velmora_bench"
"$ROOT/build/bench/velmora_bench" "$@"
