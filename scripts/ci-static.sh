#!/usr/bin/env bash
# Static analysis of the daemon's own sources (relay/ and supervisor/):
#   - clang-tidy with the checks in .clang-tidy, every warning an error, on
#     the compile commands of a CMake configure (nothing is built);
#   - cppcheck (warning, style, performance, portability) with the POSIX
#     library model and the suppressions in scripts/cppcheck-suppressions.txt;
#   - no circle in the calls between source files (scripts/file-graph.sh, on
#     the library built there).
# Exits non-zero on any finding.
#
# usage: scripts/ci-static.sh [BUILD_DIR]   (default: build-static)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$root/build-static}
jobs=$(nproc 2>/dev/null || echo 2)
clang_tidy=${CLANG_TIDY:-clang-tidy}

generator=()
if [[ ! -f $build_dir/CMakeCache.txt ]] && command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
cmake -S "$root" -B "$build_dir" "${generator[@]}" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DBUILD_TESTING=OFF >/dev/null

cd "$root"
mapfile -t sources < <(find relay supervisor -name '*.cpp' | sort)
status=0

echo "== clang-tidy: ${sources[*]}"
if ! printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 1 "$clang_tidy" -p "$build_dir" --quiet \
        2> >(grep -v ' warnings\? generated\.$' >&2); then
    echo "ci-static: clang-tidy found problems" >&2
    status=1
fi

echo "== cppcheck: relay supervisor"
if ! cppcheck --enable=warning,style,performance,portability \
    --library=posix --std=c++20 --language=c++ -I "$root" \
    --inline-suppr --suppressions-list=scripts/cppcheck-suppressions.txt \
    --error-exitcode=1 --quiet \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
    relay supervisor; then
    echo "ci-static: cppcheck found problems" >&2
    status=1
fi

echo "== calls between files"
if ! cmake --build "$build_dir" --target quorvix_core >/dev/null || ! scripts/file-graph.sh "$build_dir" >/dev/null; then
    echo "ci-static: the calls between files go round in a circle" >&2
    status=1
fi

if [[ $status -eq 0 ]]; then
    echo "== static analysis clean"
fi
exit "$status"
