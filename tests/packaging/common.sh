# Helpers shared by the packaging tests; sourced, not run.
#
# Each test works in a directory of its own under $TMPDIR, removed on exit,
# and writes nothing outside it (the build tree aside, whose install step
# leaves its usual manifest there).

set -eu

readonly SKIP=77  # SKIP_RETURN_CODE of every packaging test

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

skip() {
    echo "SKIP: $*"
    exit "$SKIP"
}

need() {
    local tool=$1 package=$2
    command -v "$tool" >/dev/null || skip "$tool not found (Debian package $package)"
}

# Sets $work to a fresh scratch directory, removed when the test ends.
make_work_dir() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/quorvix-packaging.XXXXXX")
    trap 'rm -rf "$work"' EXIT
}

# Installs build tree $1 with prefix $2, below DESTDIR $3 if given; sets $unit.
install_build() {
    DESTDIR=${3:-} cmake --install "$1" --prefix "$2" >"$work/log" 2>&1 ||
        { cat "$work/log" >&2; fail "cmake --install failed"; }
    unit=${3:-}$2/lib/systemd/system/quorVixd.service
}

# Runs systemd-analyze with the remaining arguments. Where systemd does not
# run, it would create /run/systemd: it gets a /run of its own (as a user, in
# a user namespace), so the machine's is left alone, or the test is skipped.
systemd_analyze() {
    if [ -d /run/systemd ]; then
        systemd-analyze "$@"
        return
    fi
    local namespace=(--mount)
    [ "$(id -u)" = 0 ] || namespace=(--user --map-root-user --mount)
    unshare "${namespace[@]}" true 2>/dev/null ||
        skip "no /run/systemd here, and 'unshare ${namespace[*]}' fails, so systemd-analyze cannot have a /run of its own: run it as root, or where systemd runs"
    # shellcheck disable=SC2016  # expanded by the inner shell
    unshare "${namespace[@]}" sh -c 'mount -t tmpfs tmpfs /run && exec systemd-analyze "$@"' sh "$@"
}

# Builds the Debian package of build tree $1 into $work/out (sets $out).
build_package() {
    out=$work/out
    cpack -G DEB --config "$1/CPackConfig.cmake" -B "$out" >"$work/cpack" 2>&1 || {
        cat "$work/cpack" >&2
        fail "cpack -G DEB failed"
    }
}

# Lists the files and symbolic links under $1, relative to it, sorted.
list_files() {
    (cd "$1" && find . \( -type f -o -type l \) -printf '%P\n' | LC_ALL=C sort)
}

# Fails unless the list of files under $1 is exactly the remaining arguments.
expect_files() {
    local root=$1
    shift
    local expected actual
    expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
    actual=$(list_files "$root")
    if [ "$expected" != "$actual" ]; then
        printf 'expected:\n%s\nfound:\n%s\n' "$expected" "$actual" >&2
        fail "unexpected file list under $root"
    fi
}

# Fails unless file $1 has the octal mode $2.
expect_mode() {
    local mode
    mode=$(stat -c %a "$1")
    [ "$mode" = "$2" ] || fail "$1 has mode $mode, expected $2"
}

# Prints the value of Key= in the [Service] section of unit file $1.
unit_value() {
    sed -n "/^\[Service\]/,/^\[/s/^$2=//p" "$1"
}
