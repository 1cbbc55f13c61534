#!/bin/sh
# Installs, on Debian or Ubuntu, the packages this tree needs that the
# machine lacks, and nothing when nothing is missing. The scripts that build
# (test.sh, try-it.sh, .ci/run) call it; this is the one list.
#   try      building the daemon and the try-it sandbox; man, for the page
#   package  building the daemon and its Debian and RPM packages (cpack); man
#   test     try and package, and the tools of the packaging tests (the default)
#   ci       test, and clang with its fuzzer runtime, clang-tidy, cppcheck, ninja;
#            mmdebstrap, for the fresh Debian that scripts/ci-fresh.sh makes
# Without root it names the missing packages, says how to install them, and
# exits 1.
# Usage: scripts/setup.sh [try|package|test|ci]
set -eu

profile=${1:-test}
build_packages="cmake g++ make"
try_packages="$build_packages libgtest-dev man-db"
# dpkg-shlibdeps (dpkg-dev) and file: cpack's Debian package, its Depends
# field; rpmbuild (rpm): its RPM; man, for the installed page.
package_packages="$build_packages dpkg-dev file rpm man-db"
# readelf (binutils), lintian, rpmlint, hardening-check (devscripts),
# systemd-analyze (systemd), groff and man: the packaging tests' checks;
# systemd-nspawn (systemd-container), vpnc, vpnc-scripts, ip (iproute2) and
# ps (procps): the unit's confinement tried on the real client; strongswan-charon,
# libcharon-extra-plugins and libcharon-extauth-plugins: the gateway it connects to.
test_packages="$try_packages dpkg-dev file rpm binutils lintian rpmlint devscripts systemd groff-base"
test_packages="$test_packages systemd-container vpnc vpnc-scripts iproute2 procps"
test_packages="$test_packages strongswan-charon libcharon-extra-plugins libcharon-extauth-plugins"
ci_packages="$test_packages clang clang-tidy cppcheck ninja-build mmdebstrap"
case $profile in
  try) packages=$try_packages ;;
  package) packages=$package_packages ;;
  test) packages=$test_packages ;;
  ci) packages=$ci_packages ;;
  *) echo "usage: scripts/setup.sh [try|package|test|ci]" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "setup: not Debian or Ubuntu; make sure these (Debian names) are installed: $packages" >&2
  exit 0
fi

missing() {
  for package; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' || echo "$package"
  done
}

# The packages installed and their size in KiB, as dpkg counts them.
footprint() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Installed-Size}\n' | awk '$1 == "ii" { n++; k += $2 } END { print n, k }'
}

updated=
install() {
  [ $# -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages: $*" >&2
    echo "  install them as root, in the checkout: sudo scripts/setup.sh $profile" >&2
    exit 1
  fi
  log=${TMPDIR:-/tmp}/quorvix-setup.log
  echo "setup: installing $# packages and what they need: $*"
  echo "setup: apt's output goes to $log"
  started=$(date +%s)
  before=$(footprint)
  {
    if [ -z "$updated" ]; then
      apt-get update
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
  } >"$log" 2>&1 || {
    tail -n 20 "$log" >&2
    echo "setup: apt-get failed; all it said is in $log" >&2
    exit 1
  }
  updated=1
  # shellcheck disable=SC2046,SC2086  # two numbers each
  set -- $before $(footprint)
  # MB as apt counts them, of 1,000,000 bytes.
  echo "setup: installed $(($3 - $1)) packages, $((($4 - $2) * 1024 / 1000000)) MB, in $(($(date +%s) - started)) s"
}

# shellcheck disable=SC2046,SC2086  # word splitting of the lists is meant
install $(missing $packages)

# The fuzzer runtime is packaged per clang version: the installed one's.
if [ "$profile" = ci ] &&
  [ -z "$(find "$(clang -print-resource-dir)" -name 'libclang_rt.fuzzer*.a' 2>/dev/null | head -n 1)" ]; then
  install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
fi
