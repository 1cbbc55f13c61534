#!/usr/bin/env bash
# Builds the project under sanitizers and runs the unit tests there:
#   1. address,undefined: every target (daemon, library, all tests), then
#      `ctest -L unit` and `ctest -L sandbox`, the latter running the
#      sanitized daemon itself;
#   2. thread: the unit tests, then `ctest -L unit`.
# Any failed build, failed test or sanitizer report makes the script fail.
#
# usage: scripts/ci-sanitizers.sh [ASAN_BUILD_DIR [TSAN_BUILD_DIR]]
#   defaults: build-asan and build-tsan at the top of the work tree.
#   The compilers are CMake's choice, or CC and CXX when set (gcc and clang
#   both work). The ASan daemon is ASAN_BUILD_DIR/quorVixd afterwards.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
asan_dir=${1:-$root/build-asan}
tsan_dir=${2:-$root/build-tsan}
jobs=$(nproc 2>/dev/null || echo 2)

generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi

# A report must fail the process that made it, and say where it came from.
export ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

configure() {  # dir sanitizers
    # The generator is given only on a first configure: CMake refuses a
    # different one for an existing build directory.
    local gen=()
    [[ -f $1/CMakeCache.txt ]] || gen=("${generator[@]}")
    cmake -S "$root" -B "$1" "${gen[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVIX_SANITIZE="$2" \
        -DQUORVIX_WERROR=ON \
        -DBUILD_TESTING=ON
}

echo "== address,undefined: $asan_dir"
configure "$asan_dir" address,undefined
cmake --build "$asan_dir" --parallel "$jobs"
ctest --test-dir "$asan_dir" -L unit --output-on-failure --parallel "$jobs"
# The daemon allocates nothing it frees before exit, and some sandbox cases
# run it with no descriptor or process to spare, which the leak check at exit
# needs: leak checking stays with the unit tests.
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
    ctest --test-dir "$asan_dir" -L sandbox --output-on-failure --parallel 8

echo "== thread: $tsan_dir"
configure "$tsan_dir" thread
cmake --build "$tsan_dir" --parallel "$jobs" --target unit_tests
ctest --test-dir "$tsan_dir" -L unit --output-on-failure --parallel "$jobs"

echo "== sanitizer builds passed"
