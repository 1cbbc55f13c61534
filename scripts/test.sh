#!/bin/sh
# Installs what is missing (scripts/setup.sh), builds from scratch and runs
# every test: the unit tests, the real daemon in its sandbox, and the
# packaging checks. Usage: scripts/test.sh [build-dir]
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh test
build=${1:-build}
rm -rf "$build"
echo "test: configuring $build/"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIX_WERROR=ON
echo "test: building the daemon, the tests and the measuring tools (1 to 2 minutes on 2 cores)"
cmake --build "$build" -j "$(nproc)"
echo "test: running the tests (under a minute)"
status=0
ctest --test-dir "$build" -j 8 --output-on-failure || status=$?
# ctest shows the output of failed tests alone: say why each skipped one was
# skipped.
awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
     /: Skipped$/ { getline; print "test: skipped " name ": " $0 }
     /^(SKIP|skipped): / { sub(/^(SKIP|skipped): /, ""); print "test: skipped " name ": " $0 }' \
  "$build/Testing/Temporary/LastTest.log"
exit "$status"
