#!/bin/bash
# The systemd unit, as installed, passes `systemd-analyze verify` without a
# single complaint.
#
# verify checks that ExecStart= names an executable file and that the
# Documentation= page can be opened, so the unit is checked where the
# install rules put it: under a scratch prefix, with ExecStart= pointing at
# the daemon installed beside it and man looking in the scratch manual
# directory. The targets the unit names are the host's own.
# verify exits 0 even for unknown keys and values it cannot parse (it only
# warns and ignores them), so any output counts as a failure.
#
# Usage: unit_verify.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
build=$1
need systemd-analyze systemd
make_work_dir

prefix=$work/usr
install_build "$build" "$prefix"
[ "$(unit_value "$unit" ExecStart)" = "$prefix/sbin/quorVixd" ] ||
    fail "ExecStart= is '$(unit_value "$unit" ExecStart)', expected $prefix/sbin/quorVixd"

# Deaths by the signals that systemd counts as clean are restarted too.
[ "$(unit_value "$unit" RestartForceExitStatus)" = "SIGHUP SIGPIPE" ] ||
    fail "RestartForceExitStatus= is not 'SIGHUP SIGPIPE'"

man_check=--man=yes
if ! command -v man >/dev/null; then
    echo "note: man not found (Debian package man-db): Documentation= not checked"
    man_check=--man=no
fi
status=0
MANPATH=$prefix/share/man systemd_analyze verify "$man_check" "$unit" >"$work/verify" 2>&1 || status=$?
if [ "$status" -ne 0 ] || [ -s "$work/verify" ]; then
    cat "$work/verify" >&2
    fail "systemd-analyze verify: exit status $status, $(wc -l <"$work/verify") lines of complaints"
fi

echo "unit verify: ok"
