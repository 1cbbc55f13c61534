#!/bin/bash
# The Debian package: `cpack -G DEB` builds it from the build tree, with
# its control fields, exactly the expected files, a stripped daemon, the
# compressed manual page, the unit pointing at /usr/sbin, and maintainer
# scripts that are valid shell.
#
# Usage: deb.sh BUILD_DIR SOURCE_DIR VERSION
. "$(dirname "$0")/common.sh"
build=$1
source=$2
version=$3
need cpack cmake
need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need readelf binutils
make_work_dir

build_package "$build"
arch=$(dpkg --print-architecture)
deb=$out/quorvixd_${version}_${arch}.deb
[ -f "$deb" ] || {
    ls "$out" >&2
    fail "no $(basename "$deb") built"
}

# Control fields.
field() { dpkg-deb --field "$deb" "$1"; }
expect_field() {
    [ "$(field "$1")" = "$2" ] || fail "$1: is '$(field "$1")', expected '$2'"
}
expect_field Package quorvixd
expect_field Version "$version"
expect_field Architecture "$arch"
expect_field Section net
expect_field Priority optional
field Maintainer | grep -Eqx '[^<>]+ <[^<> @]+@[^<> @]+>' ||
    fail "Maintainer: '$(field Maintainer)' is not 'Name <address>'"
# From dpkg-shlibdeps: the daemon needs the C library, and no C++ runtime.
field Depends | grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' ||
    fail "Depends: '$(field Depends)' lacks a versioned libc6"
! field Depends | grep -q libstdc++ || fail "Depends: '$(field Depends)' names libstdc++"
field Depends | grep -q '^vpnc, vpnc-scripts, coreutils (>= 7.5), ' || fail "Depends: lacks the client's"
description=$(field Description)
synopsis=$(head -n 1 <<<"$description")
[ -n "$synopsis" ] && [ "${#synopsis}" -le 80 ] || fail "bad synopsis: '$synopsis'"
[ "$(wc -l <<<"$description")" -gt 1 ] || fail "Description has no extended text"
[ -n "$(field Installed-Size)" ] || fail "no Installed-Size"

# The files, their owners and modes.
dpkg-deb --contents "$deb" >"$work/contents"
if grep -v ' root/root ' "$work/contents" >&2; then
    fail "files not owned by root/root"
fi
while read -r mode _ _ _ _ path _; do
    case $mode in
        d*) expected=drwxr-xr-x ;;
        l*) expected=lrwxrwxrwx ;;
        *) [[ $path =~ ^\./usr/(sbin/quorVixd|libexec/quorvixd/(vpnc|quorvix-script))$ ]] && expected=-rwxr-xr-x || expected=-rw-r--r-- ;;
    esac
    [ "$mode" = "$expected" ] || fail "$path has mode $mode, expected $expected"
done <"$work/contents"

root=$work/root
dpkg-deb --extract "$deb" "$root"
expect_files "$root" \
    usr/lib/systemd/system/quorVixd.service \
    usr/libexec/quorvixd/quorvix-script \
    usr/libexec/quorvixd/vpnc \
    usr/sbin/quorVixd \
    usr/share/doc/quorvixd/changelog.gz \
    usr/share/doc/quorvixd/examples/encrypted-config.conf \
    usr/share/doc/quorvixd/examples/own-client.conf \
    usr/share/doc/quorvixd/examples/own-config.conf \
    usr/share/doc/quorvixd/examples/vpnc.conf \
    usr/share/doc/quorvixd/copyright \
    usr/share/lintian/overrides/quorvixd \
    usr/share/man/man8/quorVixd.8.gz

unit=$root/usr/lib/systemd/system/quorVixd.service
[ "$(unit_value "$unit" ExecStart)" = /usr/sbin/quorVixd ] ||
    fail "ExecStart= is '$(unit_value "$unit" ExecStart)', expected /usr/sbin/quorVixd"

sections=$(readelf -SW "$root/usr/sbin/quorVixd") || fail "usr/sbin/quorVixd is not ELF"
for section in .symtab .debug_info .comment; do
    ! grep -qF " $section " <<<"$sections" || fail "usr/sbin/quorVixd keeps its $section section"
done

gzip -dc "$root/usr/share/man/man8/quorVixd.8.gz" | cmp -s - "$source/man/quorVixd.8" ||
    fail "packaged manual page differs from man/quorVixd.8"
head -n 1 < <(gzip -dc "$root/usr/share/doc/quorvixd/changelog.gz") |
    grep -qF "quorvixd ($version) " || fail "changelog does not start with version $version"
grep -qx 'License: Expat' "$root/usr/share/doc/quorvixd/copyright" ||
    fail "copyright file without its licence"

# The hardening flags. Where the C library's start files lack the x86
# control-flow properties (Debian 12), no program can have them.
if command -v hardening-check >/dev/null; then
    cet=()
    readelf -n "$(${CXX:-c++} -print-file-name=Scrt1.o)" 2>/dev/null | grep -q 'IBT, SHSTK' || {
        echo "note: the C start files lack IBT and SHSTK: control flow not checked"
        cet=(--nocfprotection)
    }
    hardening-check "${cet[@]}" "$root/usr/sbin/quorVixd" || fail "hardening-check failed"
else
    echo "note: hardening-check not found (Debian package devscripts): not run"
fi

# Maintainer scripts, and checksums of every file.
control=$work/control
dpkg-deb --control "$deb" "$control"
for script in postinst prerm postrm; do
    [ -f "$control/$script" ] || fail "no $script"
    expect_mode "$control/$script" 755
    sh -n "$control/$script" || fail "$script is not valid sh"
    cmp -s "$control/$script" "$source/packaging/debian/$script" ||
        fail "packaged $script differs from packaging/debian/$script"
done
[ "$(list_files "$root")" = "$(awk '{print $2}' "$control/md5sums" | LC_ALL=C sort)" ] ||
    fail "md5sums does not list exactly the packaged files"
(cd "$root" && md5sum --quiet -c "$control/md5sums") || fail "md5sums do not match"

echo "package $(basename "$deb"): ok"
