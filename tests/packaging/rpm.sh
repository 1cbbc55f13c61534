#!/bin/bash
# The RPM: `cpack -G RPM` builds it with its header fields, exactly the
# expected files (and none of the directories it shares with the system),
# scriptlets that reload systemd and stop and disable the service only on
# erase, and no error from rpmlint.
#
# Usage: rpm.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/common.sh"
build=$1
source=$2
need cpack cmake
need rpmbuild rpm
make_work_dir

cpack -G RPM --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack" 2>&1 || {
    cat "$work/cpack" >&2
    fail "cpack -G RPM failed"
}
rpm=$(echo "$work"/out/quorvixd-*.rpm)
[ -f "$rpm" ] || fail "no RPM built"

query() { rpm -qp --queryformat "$1" "$rpm"; }
[ "$(query '%{LICENSE} %{PREFIXES}')" = "MIT (none)" ] ||
    fail "License and Prefixes: '$(query '%{LICENSE} %{PREFIXES}')'"
for tag in SUMMARY DESCRIPTION URL GROUP PACKAGER CHANGELOGTEXT; do
    [ -n "$(query "%{$tag}")" ] && [ "$(query "%{$tag}")" != "(none)" ] || fail "no $tag"
done

[ "$(rpm -qlp "$rpm")" = "/usr/lib/systemd/system/quorVixd.service
/usr/libexec/quorvixd
/usr/libexec/quorvixd/quorvix-script
/usr/libexec/quorvixd/vpnc
/usr/sbin/quorVixd
/usr/share/doc/quorvixd
/usr/share/doc/quorvixd/examples
/usr/share/doc/quorvixd/examples/encrypted-config.conf
/usr/share/doc/quorvixd/examples/own-client.conf
/usr/share/doc/quorvixd/examples/own-config.conf
/usr/share/doc/quorvixd/examples/vpnc.conf
/usr/share/licenses/quorvixd
/usr/share/licenses/quorvixd/LICENSE
/usr/share/man/man8/quorVixd.8.gz" ] || fail "unexpected files: $(rpm -qlp "$rpm")"
[ "$(rpm -qp --licensefiles "$rpm")" = /usr/share/licenses/quorvixd/LICENSE ] ||
    fail "LICENSE is not marked as the licence"

rpm -qp --scripts "$rpm" >"$work/scripts"
# rpm prints each scriptlet under a heading of its own.
expected=$(cd "$source/packaging/rpm" && cat post preun postun | grep -v '^$')
actual=$(grep -v -e '^[a-z]* scriptlet (using /bin/sh):$' -e '^$' "$work/scripts")
[ "$expected" = "$actual" ] || fail "scriptlets differ from packaging/rpm"
! grep -v '^ *#' "$work/scripts" | grep -Eqw 'enable|start|restart|try-restart|preset' ||
    fail "a scriptlet starts or enables the service"

if command -v rpmlint >/dev/null; then
    rpmlint -c "$source/packaging/rpm/rpmlint.toml" "$rpm" || fail "rpmlint reports errors"
else
    echo "note: rpmlint not found (Debian package rpmlint): not run"
fi
echo "rpm $(basename "$rpm"): ok"
