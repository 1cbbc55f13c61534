#!/usr/bin/env bash
# Which of the daemon's source files call which, read from the symbols that
# each object of the quorvix_core library defines and uses: one "caller
# callee" line per pair. Fails, naming the files, when the calls between
# files go round in a circle.
#
# usage: scripts/file-graph.sh BUILD_DIR   (quorvix_core built there)
set -euo pipefail

objects=$1/CMakeFiles/quorvix_core.dir
[[ -d $objects ]] || { echo "file-graph: no objects in $objects: build quorvix_core first" >&2; exit 2; }
root=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$1/CMakeCache.txt")

# "D file symbol" for each symbol a file defines, "U file symbol" for each it
# uses, of the objects whose source still exists.
symbols() {
    local object file
    while IFS= read -r object; do
        file=${object#"$objects"/}
        file=${file%.o}
        [[ -f $root/$file ]] || continue
        nm "$object" | awk -v file="$file" '
            NF == 3 && $2 ~ /^[TWBDRV]$/ { print "D", file, $3 }
            NF == 2 && $1 ~ /^[Uw]$/ { print "U", file, $2 }'
    done < <(find "$objects" -name '*.o' | sort)
}

edges=$(symbols | awk '
    $1 == "D" { home[$3] = $2; next }
    { used[NR] = $2 " " $3 }
    END {
        for (i in used) {
            split(used[i], part, " ")
            if ((part[2] in home) && home[part[2]] != part[1]) print part[1], home[part[2]]
        }
    }' | sort -u)
printf '%s\n' "$edges"
if ! printf '%s\n' "$edges" | tsort >/dev/null 2>"${TMPDIR:-/tmp}/file-graph.$$"; then
    sed 's/^/file-graph: /' "${TMPDIR:-/tmp}/file-graph.$$" >&2
    rm -f "${TMPDIR:-/tmp}/file-graph.$$"
    echo "file-graph: the calls between files go round in a circle" >&2
    exit 1
fi
rm -f "${TMPDIR:-/tmp}/file-graph.$$"
