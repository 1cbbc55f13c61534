#!/bin/bash
# The install rules. `cmake --install --prefix /usr` under DESTDIR lays out
# the daemon, its systemd unit and its manual page, and nothing else; the
# unit's ExecStart= follows the prefix given at install time.
#
# Usage: install_tree.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/common.sh"
build=$1
source=$2
make_work_dir

# Installs the build tree into DESTDIR $1 with prefix $2, and checks that
# every file went below DESTDIR.
install_into() {
    local destdir=$1 prefix=$2 path
    if ! DESTDIR=$destdir cmake --install "$build" --prefix "$prefix" >"$work/log" 2>&1; then
        cat "$work/log" >&2
        fail "cmake --install --prefix $prefix failed"
    fi
    grep -q '^-- Installing: ' "$work/log" || fail "cmake --install installed nothing"
    while read -r path; do
        case $path in
            "$destdir"/*) ;;
            *) fail "installed outside DESTDIR: $path" ;;
        esac
    done < <(sed -n 's/^-- \(Installing\|Up-to-date\): //p' "$work/log")
}

root=$work/usr-root
install_into "$root" /usr
expect_files "$root" \
    usr/lib/systemd/system/quorVixd.service \
    usr/libexec/quorvixd/quorvix-script \
    usr/libexec/quorvixd/vpnc \
    usr/sbin/quorVixd \
    usr/share/doc/quorvixd/examples/encrypted-config.conf \
    usr/share/doc/quorvixd/examples/own-client.conf \
    usr/share/doc/quorvixd/examples/own-config.conf \
    usr/share/doc/quorvixd/examples/vpnc.conf \
    usr/share/man/man8/quorVixd.8

expect_mode "$root/usr/sbin/quorVixd" 755
expect_mode "$root/usr/lib/systemd/system/quorVixd.service" 644
expect_mode "$root/usr/share/man/man8/quorVixd.8" 644
for dir in usr usr/sbin usr/lib/systemd/system usr/share/man/man8; do
    expect_mode "$root/$dir" 755
done

[ "$(head -c 4 "$root/usr/sbin/quorVixd" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
    fail "usr/sbin/quorVixd is not an ELF executable"
cmp -s "$source/man/quorVixd.8" "$root/usr/share/man/man8/quorVixd.8" ||
    fail "installed manual page differs from man/quorVixd.8"

unit=$root/usr/lib/systemd/system/quorVixd.service
[ "$(unit_value "$unit" ExecStart)" = /usr/sbin/quorVixd ] ||
    fail "ExecStart= is '$(unit_value "$unit" ExecStart)', expected /usr/sbin/quorVixd"
! grep -Eq '@[A-Za-z0-9_]+@' "$unit" || fail "unconfigured @VARIABLE@ left in the unit"

# Another prefix, chosen at install time only: the unit follows it.
root=$work/opt-root
install_into "$root" /opt/quorvixd
expect_files "$root" \
    opt/quorvixd/lib/systemd/system/quorVixd.service \
    opt/quorvixd/libexec/quorvixd/quorvix-script \
    opt/quorvixd/libexec/quorvixd/vpnc \
    opt/quorvixd/sbin/quorVixd \
    opt/quorvixd/share/doc/quorvixd/examples/encrypted-config.conf \
    opt/quorvixd/share/doc/quorvixd/examples/own-client.conf \
    opt/quorvixd/share/doc/quorvixd/examples/own-config.conf \
    opt/quorvixd/share/doc/quorvixd/examples/vpnc.conf \
    opt/quorvixd/share/man/man8/quorVixd.8
unit=$root/opt/quorvixd/lib/systemd/system/quorVixd.service
[ "$(unit_value "$unit" ExecStart)" = /opt/quorvixd/sbin/quorVixd ] ||
    fail "ExecStart= is '$(unit_value "$unit" ExecStart)', expected /opt/quorvixd/sbin/quorVixd"

echo "install tree: ok"
