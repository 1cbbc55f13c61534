#!/bin/sh
# Measures the daemon: relay throughput against logger(1), idle CPU and
# wake-ups per thread against a bare two-thread program, and memory. Builds a
# Release tree of its own first. Options go to the bench program:
#   --lines N (1000000)  --width BYTES (80)  --idle-seconds S (60)  --rounds R (1)
# Usage: scripts/bench.sh [options]   (build directory: $BENCH_BUILD_DIR, default build-bench)
set -eu
cd "$(dirname "$0")/.."
build=${BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench >/dev/null
exec "$build/bench/bench" "$@"
