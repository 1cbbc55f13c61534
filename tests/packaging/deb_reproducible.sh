#!/bin/bash
# Two builds of the Debian package from one build tree, the second under
# another umask, time zone and output directory, are identical byte for
# byte.
#
# Usage: deb_reproducible.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
build=$1
need cpack cmake
need dpkg-shlibdeps dpkg-dev
make_work_dir

build_package "$build"
mv "$out" "$work/first"
(umask 077 && TZ=Pacific/Kiritimati build_package "$build")
cmp "$work"/first/*.deb "$out"/*.deb || fail "two builds of the package differ"
echo "reproducible: ok"
