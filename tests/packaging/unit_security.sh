#!/bin/bash
# `systemd-analyze security` rates the installed unit's exposure below 5.0
# ("OK"), and the figure is printed.
#
# Usage: unit_security.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
need systemd-analyze systemd
make_work_dir
install_build "$1" "$work/usr"
systemd_analyze security --offline=true "$unit" >"$work/security" 2>&1 || true
exposure=$(sed -n 's/.*Overall exposure level for quorVixd.service: \([0-9.]*\) .*/\1/p' "$work/security")
echo "overall exposure: ${exposure:-none}"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e < 5.0) }' ||
    { cat "$work/security" >&2; fail "exposure ${exposure:-not given}, not below 5.0"; }
