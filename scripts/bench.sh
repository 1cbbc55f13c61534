#!/bin/sh
# Measures the daemon, in one run: its relay throughput against `cat | logger`
# and against a bare syslog(3) loop, on the same lines and the same receiver,
# in rounds; the idle CPU and wake-ups of its threads and its memory against
# a bare two-thread program; how fast it notices a client's end and a stop;
# and how it fares behind a stalled logger. Then prints the targets, each
# "met" or "missed", unless the run was broken: then it exits 1 and judges
# nothing. Installs what is missing (scripts/setup.sh try) and builds a
# Release tree of its own first. Options go to the bench program:
#   --lines N (1000000)  --width BYTES (80)  --idle-seconds S (60)  --rounds R (5)
#   --stops N (8)  --stall-seconds S (30)
# Usage: scripts/bench.sh [options]   (build directory: $BENCH_BUILD_DIR, default build-bench)
set -eu
cd "$(dirname "$0")/.."
# The daemon runs in a private mount namespace: that takes root, or a user
# namespace of one's own where the kernel allows it (as the tests' sandbox
# decides). Said first, before anything is installed or built.
if [ "$(id -u)" -ne 0 ] && ! unshare --user --map-root-user --mount true 2>/dev/null; then
  echo "bench: needs root: not root, and unprivileged user namespaces are not available here." >&2
  echo "  Run it as root: sudo $0 $*" >&2
  exit 2
fi
scripts/setup.sh try
build=${BENCH_BUILD_DIR:-build-bench}
echo "bench: configuring $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
echo "bench: building the daemon, the stand-in client and the bench programs"
cmake --build "$build" -j "$(nproc)" --target bench
exec "$build/bench/bench" "$@"
