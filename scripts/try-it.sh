#!/bin/sh
# Builds if needed, then runs the real quorVixd in a private sandbox (its own
# /run, /opt and /dev; nothing of the machine's is touched) with a
# demonstration client in place of vpnc, and shows its log live. Ctrl-C stops
# the daemon with SIGTERM and cleans up; so does closing the terminal. Needs
# root (or user namespaces). Installs what is missing first (scripts/setup.sh).
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh try
build=${BUILD_DIR:-build}
if [ ! -x "$build/tests/sandbox/quorvix_try" ] || [ -n "$(find supervisor relay tests/sandbox -newer "$build/tests/sandbox/quorvix_try" -type f | head -n 1)" ]; then
  echo "try-it: configuring $build/"
  cmake -S . -B "$build" >/dev/null
  echo "try-it: building the daemon and the try-it program (about 10 s on 2 cores)"
  cmake --build "$build" -j "$(nproc)" --target quorvix_try
fi
exec "$build/tests/sandbox/quorvix_try"
