#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on a
# scratch copy of its seed corpus (libFuzzer adds what it finds to the corpus
# directory it is given; the committed seeds stay as they are).
# Fails on any finding: a mismatch with the reference model, a crash, a
# sanitizer report, a timeout or running out of memory. The input that caused
# it is kept and its path printed.
#
# usage: scripts/ci-fuzz.sh [SECONDS [BUILD_DIR]]
#   SECONDS: run time of each target (default 60)
#   BUILD_DIR: default build-fuzz at the top of the work tree
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build_dir=${2:-$root/build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)

if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "ci-fuzz: SECONDS must be a positive whole number, not '$seconds'" >&2
    exit 2
fi

generator=()
if [[ ! -f $build_dir/CMakeCache.txt ]] && command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
CC=${FUZZ_CC:-clang} CXX=${FUZZ_CXX:-clang++} cmake -S "$root" -B "$build_dir" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVIX_FUZZ=ON \
    -DBUILD_TESTING=OFF
cmake --build "$build_dir" --parallel "$jobs" --target forward_batch_fuzzer

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvix-fuzz.XXXXXX")
status=0
for target in forward_batch_fuzzer; do
    corpus=$work/$target-corpus
    artifacts=$work/$target-findings/
    mkdir -p "$corpus" "$artifacts"
    cp "$root/fuzz/corpus/." "$corpus/" -R
    echo "== $target: ${seconds}s"
    # -timeout: one input must not take seconds; -rss_limit_mb: the model and
    # the relay hold a few hundred kilobytes per input at most.
    if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$build_dir/fuzz/$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus"; then
        echo "ci-fuzz: $target found a problem; inputs in $artifacts:" >&2
        ls -l "$artifacts" >&2
        status=1
    fi
done

if [[ $status -eq 0 ]]; then
    rm -rf "$work"
    echo "== fuzzing found nothing"
else
    echo "ci-fuzz: kept $work" >&2
fi
exit "$status"
