#!/bin/sh
# Runs the daemon for SECONDS (default 600) with a client that restarts as
# fast as the daemon allows, then checks that every line reached the log once
# and in order, that descriptors, children and memory stayed put, and that
# SIGTERM ends the daemon with status 0. Exits non-zero on any failure.
# Installs what is missing (scripts/setup.sh try) and builds first if needed.
# Usage: scripts/soak.sh [SECONDS]   (build directory: $SOAK_BUILD_DIR, default build-soak)
set -eu
cd "$(dirname "$0")/.."
# The daemon runs in a private mount namespace: that takes root, or a user
# namespace of one's own where the kernel allows it (as the tests' sandbox
# decides). Said first, before anything is installed or built.
if [ "$(id -u)" -ne 0 ] && ! unshare --user --map-root-user --mount true 2>/dev/null; then
  echo "soak: needs root: not root, and unprivileged user namespaces are not available here." >&2
  echo "  Run it as root: sudo $0 $*" >&2
  exit 2
fi
scripts/setup.sh try
build=${SOAK_BUILD_DIR:-build-soak}
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "soak: configuring $build (RelWithDebInfo)"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
echo "soak: building the daemon, the stand-in client and the soak program"
cmake --build "$build" -j "$(nproc)" --target soak
exec "$build/bench/soak" "$@"
