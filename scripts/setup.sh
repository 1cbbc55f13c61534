#!/bin/sh
# Installs, on Debian or Ubuntu, the packages this tree needs that the
# machine lacks, and nothing when nothing is missing. scripts/test.sh,
# scripts/try-it.sh and .ci/run call it; this is the one list.
#   try   building the daemon and the try-it sandbox
#   test  try, and the tools of the packaging tests (the default)
#   ci    test, and clang with its fuzzer runtime, clang-tidy, cppcheck, ninja
# Without root it prints the apt-get command that would install the missing
# packages and exits 1.
# Usage: scripts/setup.sh [try|test|ci]
set -eu

profile=${1:-test}
try_packages="cmake g++ make libgtest-dev"
# dpkg-shlibdeps (dpkg-dev) and file: cpack's Debian package; rpmbuild
# (rpm): its RPM; readelf (binutils), lintian, rpmlint, hardening-check
# (devscripts), systemd-analyze (systemd), groff and man: the checks;
# systemd-nspawn (systemd-container), vpnc, vpnc-scripts, ip (iproute2) and
# ps (procps): the unit's confinement tried on the real client.
test_packages="$try_packages binutils dpkg-dev file rpm lintian rpmlint devscripts systemd groff-base man-db"
test_packages="$test_packages systemd-container vpnc vpnc-scripts iproute2 procps"
ci_packages="$test_packages clang clang-tidy cppcheck ninja-build"
case $profile in
  try) packages=$try_packages ;;
  test) packages=$test_packages ;;
  ci) packages=$ci_packages ;;
  *) echo "usage: scripts/setup.sh [try|test|ci]" >&2; exit 2 ;;
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

updated=
install() {
  [ $# -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages; install them as root with:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends $*" >&2
    exit 1
  fi
  echo "setup: installing $*"
  if [ -z "$updated" ]; then
    apt-get update -qq
    updated=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

# shellcheck disable=SC2046,SC2086  # word splitting of the lists is meant
install $(missing $packages)

# The fuzzer runtime is packaged per clang version: the installed one's.
if [ "$profile" = ci ] &&
  [ -z "$(find "$(clang -print-resource-dir)" -name 'libclang_rt.fuzzer*.a' 2>/dev/null | head -n 1)" ]; then
  install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
fi
