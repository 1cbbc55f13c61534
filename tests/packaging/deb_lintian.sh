#!/bin/bash
# lintian finds no error and no warning in the Debian package, no tag
# about hardening even among the informational ones, and every
# override that the package ships is still needed. Informational tags are
# shown in the log but do not fail the test.
#
# Usage: deb_lintian.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
build=$1
need cpack cmake
need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need lintian lintian
make_work_dir

build_package "$build"
debs=("$out"/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package in $out"

status=0
# lintian leaves scratch files in TMPDIR: keep them in the work directory.
TMPDIR=$work lintian --fail-on error,warning --display-info --display-experimental --pedantic \
    --show-overrides "${debs[0]}" >"$work/lintian" 2>&1 || status=$?
# lintian warns that it runs as root, which CI does.
grep -v '^running with root privileges is not recommended!$' "$work/lintian" || true
[ "$status" -eq 0 ] || fail "lintian reports errors or warnings (exit status $status)"
! grep -E '^[EWIXP]: .* hardening-' "$work/lintian" || fail "lintian finds the daemon unhardened"
! grep -Eq '^[EWIXP]: .*(unused|mismatched)-override' "$work/lintian" ||
    fail "the package's lintian overrides no longer match"

echo "lintian: ok"
