#!/bin/bash
# The package brings Debian's vpnc up under the unit's confinement, before and
# after a reboot: a throw-away container boots systemd twice (a network of its
# own, /etc and /var kept on disk, the host's /usr under an overlay for dpkg).
# Skipped without /etc/quorVix/vpnc.conf; then vpnc connects with its group
# and XAuth to a strongSwan gateway in the container (IKEv1, ESP in UDP and
# in user space on both ends), its connect line is logged while it runs,
# vpnc-script sets the pushed address, route and name server, and the unit
# stops cleanly. After the reboot: the status line; each example drop-in,
# copied as a file, connects with the client and configuration it names, as
# does docs/confinement.md's drop-in that adds to the unit's lists; the
# encrypted configuration leaves the password in no file on the disk, and a
# corrupted one fails the unit at once, without restarts, with the reason in
# the journal; a drop-in that empties the bind list fails the start; and a
# gateway that vanishes (stopped: no reply, no ICMP) ends vpnc within 60 s,
# the tunnel back within 30 s of its return.
#
# Usage: unit_vpnc.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
[ "$(id -u)" = 0 ] && [ -c /dev/net/tun ] || skip "a container needs root and /dev/net/tun"
need systemd-nspawn systemd-container
need vpnc vpnc
need ip iproute2
need ps procps
need dpkg-shlibdeps dpkg-dev
[ -x /usr/share/vpnc-scripts/vpnc-script ] || skip "vpnc-script not found (Debian package vpnc-scripts)"
need /usr/lib/ipsec/charon strongswan-charon
for plugin in kernel-libipsec:libcharon-extra-plugins xauth-generic:libcharon-extauth-plugins; do
    [ -e "/usr/lib/ipsec/plugins/libstrongswan-${plugin%:*}.so" ] ||
        skip "strongSwan's ${plugin%:*} plugin not found (Debian package ${plugin#*:})"
done
pw=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')  # the XAuth password, this run's own
make_work_dir
build_package "$1" && root=$work/root && mkdir -p "$root"/{etc,srv,usr,var/lib/dpkg} "$work/usr"
: >"$root/var/lib/dpkg/status" && cp -P /bin /sbin /lib* "$root/" && cp "$out"/*.deb "$root/srv/q.deb" && cp -L /etc/os-release "$root/etc/"
# The container brings up its own network: that takes CAP_NET_ADMIN, which
# a container this runs in may lack.
unshare --net ip link set lo up 2>/dev/null ||
    skip "cannot bring up a network of its own here (no CAP_NET_ADMIN, as in a container)"
# A cgroup of its own for nspawn where systemd is not PID 1.
. "$(dirname "$0")/../../scripts/nspawn-cgroups.sh"
cgroups=()
trap 'rm -rf "$work"; for c in "${cgroups[@]}"; do find "$c" -depth -type d -delete; done' EXIT
nspawn_cgroups "quorvix-$$" 2>"$work/why" || skip "$(cat "$work/why")"
for boot in 1 2; do  # the body is left unindented
( for c in "${cgroups[@]}"; do echo "$BASHPID" >"$c/cgroup.procs"; done
  exec systemd-nspawn -q --register=no ${cgroups[0]:+--keep-unit} -M "quorvix$$" -D "$root" --overlay=/usr:"$work/usr":/usr \
    --private-network --bind=/dev/net/tun --bind-ro=/etc/alternatives \
    --bind-ro=/etc/ld.so.cache -b systemd.mask=systemd-firstboot.service \
    systemd.mask=systemd-networkd-wait-online.service ) >"$work/console" 2>&1 </dev/null &
nspawn=$!
trap 'kill $nspawn 2>/dev/null && timeout 20 tail --pid=$nspawn -f /dev/null || kill -9 $nspawn 2>/dev/null || :
      rm -rf "$work" "/run/systemd/nspawn/propagate/quorvix$$"
      for c in "${cgroups[@]}"; do find "$c" -depth -type d -delete; done' EXIT
for _ in $(seq 600); do
    leader=$(pgrep -P "$nspawn" -x systemd) && [ -S "/proc/$leader/root/run/systemd/private" ] && break
    kill -0 "$nspawn" 2>/dev/null || skip "cannot boot a container: $(tail -n 3 "$work/console")"
    sleep 0.1
done
[ -S "/proc/$leader/root/run/systemd/private" ] || skip "the container did not boot within 60 s"
nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin SYSTEMD_PAGER= sh -eus "$boot" "$pw" <<'EOF' || fail "see above"
if [ "$1" = 1 ]; then
dpkg -i --force-depends /srv/q.deb >/dev/null 2>&1 && systemctl start quorVixd
journalctl -u quorVixd | grep -F '(ConditionFileNotEmpty=/etc/quorVix/vpnc.conf)' || exit 1
echo 'nameserver 127.0.0.53' >/etc/resolv.conf
printf '%s\n' 'charon { i_dont_care_about_security_and_use_aggressive_mode_psk = yes' 'install_routes = no' \
    'load = random nonce aes sha1 sha2 md5 hmac gmp kernel-libipsec kernel-netlink socket-default stroke xauth-generic attr unity' } >/etc/strongswan.conf
# The gateway's copy of the password in base64: its text on the disk can only be the client's.
printf '%s\n' ': PSK "example-group-key"' ": XAUTH 0s$(printf %s "$2" | base64)" >/etc/ipsec.secrets
printf '%s\n  ' 'conn vpn' keyexchange=ikev1 aggressive=yes authby=xauthpsk xauth=server left=%any leftsubnet=10.9.0.0/24 \
    right=%any rightsourceip=10.9.0.2/32 rightdns=10.9.0.53 forceencaps=yes ike=aes256-sha1-modp1024 esp=aes256-sha1 auto=add >/etc/ipsec.conf
printf '%s\n' '[Service]' 'ExecStart=/usr/lib/ipsec/starter --nofork' '[Install]' WantedBy=multi-user.target >/etc/systemd/system/gw.service
install -D -m 0600 /usr/share/doc/quorvixd/examples/vpnc.conf /etc/quorVix/vpnc.conf
sed -i "s/^\(IPSec gateway\) .*/\1 127.0.0.19/; s/^\(IPSec ID\) .*/\1 quorvix-group/; s/^\(Xauth password\) .*/\1 $2/; \$a Local Port 0\nNAT Traversal Mode force-natt" /etc/quorVix/vpnc.conf
systemctl --quiet enable --now gw quorVixd
fi
printed() { journalctl -b -q -t quorVix -o cat | awk '/^starting vpnc$/ { v = t = 0 } /^VPNC started in foreground/ { v = 1 } /^terminated/ { t = 1 } END { exit !(v && !t) }'; }
# Waits until vpnc has connected and stays ($pid), and checks what the script set on tunnel $1.
connected() {
    for _ in $(seq 300); do pid=$(pgrep -x vpnc) && printed && [ "$(pgrep -x vpnc)" = "$pid" ] && break; sleep 0.1; done
    [ "$(pgrep -x vpnc)" = "$pid" ] || { journalctl -b -q -t quorVix; journalctl -b -q -u gw; echo "vpnc did not connect and stay"; exit 1; }
    ip -4 addr show "$1" | grep -q 'inet 10.9.0.2/32' && ip route show 10.9.0.0/24 | grep -q "dev $1" &&
        grep -qx 'nameserver 10.9.0.53' /etc/resolv.conf && [ "$(stat -c %a /etc/resolv.conf)" = 644 ] ||
        { ip addr; ip route; ls -l /etc/resolv.conf; cat /etc/resolv.conf; exit 1; }
}
connected tun0
systemctl stop quorVixd
journalctl -q -t quorVix -o cat
[ "$(systemctl show -P Result quorVixd)" = success ] || { journalctl -u quorVixd; exit 1; }
# After the reboot, the status line: the running client's pid, then the
# refusals after three. A drop-in puts a script in the client's place.
[ "$1" = 2 ] || exit 0
mkdir /run/systemd/system/quorVixd.service.d && printf '#!/bin/sh\nexec sleep 600\n' >/run/client && chmod +x /run/client
printf '[Service]\nBindReadOnlyPaths=/run/client:/opt/quorVix/bin/vpnc\n' >/run/systemd/system/quorVixd.service.d/c.conf
systemctl daemon-reload && systemctl start quorVixd
pid=$(systemctl show -P StatusText quorVixd | sed -n 's/^vpnc(\([0-9]*\)) running since .*/\1/p')
[ $(ps -o ppid= -p "${pid:-0}") = "$(systemctl show -P MainPID quorVixd)" ] &&
    systemctl status quorVixd | grep "Status: \"vpnc($pid) running since" || { systemctl status quorVixd; exit 1; }
printf '#!/bin/sh\nexit 2\n' >/run/client && systemctl restart quorVixd
for _ in $(seq 300); do systemctl show -P StatusText quorVixd | grep -q '^vpnc was refused' && break; sleep 0.1; done
systemctl status quorVixd | grep 'Status: "vpnc was refused by the gateway 3 times in a row: next start at ' ||
    { systemctl status quorVixd; exit 1; }
# The example drop-ins, each copied as a file: an own client and script in
# /opt/quorVix (each logs a line), an own configuration in /run (for tun1),
# the configuration encrypted as the README has it.
rm -r /run/systemd/system/quorVixd.service.d && cd /etc/systemd/system && mkdir -p quorVixd.service.d /opt/quorVix/bin /opt/quorVix/etc
printf '#!/bin/sh\necho own client\nexec /usr/libexec/quorvixd/vpnc "$@"\n' >/opt/quorVix/bin/vpnc
printf '#!/bin/sh\necho "own script: $reason"\nexec /usr/libexec/quorvixd/quorvix-script "$@"\n' >/opt/quorVix/etc/quorvix-script
chmod +x /opt/quorVix/*/*; sed '$a Interface name tun1' /etc/quorVix/vpnc.conf >/run/vpnc/vpnc.conf
ms() { echo $(($(date +%s%N) / 1000000)); }
apply() { rm -f quorVixd.service.d/*; cp "/usr/share/doc/quorvixd/examples/$1.conf" quorVixd.service.d/; systemctl daemon-reload; systemctl reset-failed quorVixd; systemctl restart quorVixd; }
apply own-client; connected tun0
[ "$(journalctl -b -q -t quorVix -o cat | grep -c -e '^own client$' -e '^own script: connect$')" = 2 ] || { echo "not the own client and script"; exit 1; }
apply own-config; connected tun1
# docs/confinement.md's drop-in for a script that needs more adds to the lists and keeps the tunnel.
touch /etc/hosts; printf '[Service]\nReadWritePaths=/etc/hosts\nCapabilityBoundingSet=CAP_DAC_OVERRIDE\n' >quorVixd.service.d/more.conf
systemctl daemon-reload; systemctl restart quorVixd; connected tun1
systemd-creds encrypt --name=vpnc.conf /etc/quorVix/vpnc.conf /etc/quorVix/vpnc.conf.cred 2>/dev/null; rm /etc/quorVix/vpnc.conf
apply encrypted-config; connected tun0
# A corrupted credential: the unit failed at once, not restarted, and the
# README's command says why.
cp /etc/quorVix/vpnc.conf.cred /run/cred; sed -i '5s/^[a-z]/A/; t; 5s/^./a/' /etc/quorVix/vpnc.conf.cred; t=$(ms)
! systemctl restart quorVixd 2>/dev/null && [ $(($(ms) - t)) -lt 15000 ] &&
    [ "$(systemctl show -p ActiveState -p SubState -p NRestarts -p ExecMainStatus quorVixd | sort | xargs)" = 'ActiveState=failed ExecMainStatus=243 NRestarts=0 SubState=failed' ] &&
    systemd-creds decrypt --name=vpnc.conf /etc/quorVix/vpnc.conf.cred - 2>&1 >/dev/null | grep -q '^Decryption failed' || { journalctl -b -p err; systemctl status quorVixd; exit 1; }
# A drop-in that empties the bind list, the tun device with it: the start fails, saying so.
mv /run/cred /etc/quorVix/vpnc.conf.cred; printf '[Service]\nBindReadOnlyPaths=\n' >quorVixd.service.d/z.conf; systemctl daemon-reload
! systemctl restart quorVixd 2>/dev/null && journalctl --sync && journalctl -b -q -u quorVixd | grep -q 'no /dev/net/tun or no /run/vpnc/vpnc.conf in the unit' ||
    { journalctl -b -u quorVixd; exit 1; }
# The gateway vanishes: vpnc ends by its dead-peer detection within 60 s,
# and the tunnel is back within 30 s of the gateway's return.
apply encrypted-config; connected tun0; systemctl kill -s SIGSTOP gw; t=$(ms)
while kill -0 "$pid" 2>/dev/null && [ $(($(ms) - t)) -lt 70000 ]; do sleep 0.1; done
gone=$(($(ms) - t)); systemctl kill -s SIGCONT gw; t=$(ms); connected tun0; back=$(($(ms) - t))
echo "vpnc lasted $gone ms after the gateway vanished; the tunnel was back $back ms after its return"
[ "$gone" -lt 60000 ] && [ "$back" -lt 30000 ] || exit 1
systemctl stop quorVixd
EOF
kill $nspawn && timeout 20 tail --pid=$nspawn -f /dev/null
# The password: in /etc/quorVix/vpnc.conf after the first boot, in no file on
# the container's disk once it is encrypted.
found=$(grep -rlF -- "$pw" "$root" "$work/usr" || :)
[ "$found" = "$([ $boot = 2 ] || echo "$root/etc/quorVix/vpnc.conf")" ] || fail "the password is in: ${found:-no file}"
done
echo "vpnc under the unit: ok"
