#!/bin/bash
# Debian's vpnc and vpnc-script still work under the unit's confinement. A
# throw-away container boots systemd on the host's /usr with a network of
# its own and runs the installed unit: the daemon logs vpnc's lines, vpnc
# binds UDP 500 and sends IKE to a loopback gateway that refuses it, and the
# unit stops cleanly. No gateway answers, so a copy of the unit that runs
# other commands makes a tun device (vpnc's ioctl on /dev/net/tun) and runs
# vpnc-script with vpnc's connect variables: address, route, name server.
#
# Usage: unit_vpnc.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
[ "$(id -u)" = 0 ] && [ -c /dev/net/tun ] || skip "a container needs root and /dev/net/tun"
need systemd-nspawn systemd-container
need vpnc vpnc
need ip iproute2
need ps procps
[ -x /usr/share/vpnc-scripts/vpnc-script ] || skip "vpnc-script not found (Debian package vpnc-scripts)"
make_work_dir
install_build "$1" /opt/quorVix "$work/root"
opt=$work/root/opt/quorVix
mkdir "$opt/bin" "$opt/etc" && ln -s /usr/sbin/vpnc "$opt/bin/vpnc"
ln -s /usr/share/vpnc-scripts/vpnc-script "$opt/etc/quorvix-script"
# The container brings up its own network: that takes CAP_NET_ADMIN, which
# a container this runs in may lack.
unshare --net ip link set lo up 2>/dev/null ||
    skip "cannot bring up a network of its own here (no CAP_NET_ADMIN, as in a container)"
# Without systemd as PID 1 to make it a scope, nspawn gets a cgroup of its
# own, in the unified hierarchy and in systemd's named one where that is
# mounted (nspawn uses both).
cgroups=()
trap 'rm -rf "$work"; for c in "${cgroups[@]}"; do find "$c" -depth -type d -delete; done' EXIT
if [ "$(cat /proc/1/comm)" != systemd ]; then
    while IFS=: read -r _ controller path; do
        case $controller in
            '') mount=$(findmnt -n -t cgroup2 -o TARGET | head -n 1) ;;
            name=systemd) mount=$(findmnt -n -t cgroup -O name=systemd -o TARGET | head -n 1) ;;
            *) continue ;;
        esac
        [ -n "$mount" ] || continue
        mkdir "$mount${path%/}/quorvix-$$" 2>/dev/null || skip "cannot make a cgroup for a container"
        cgroups+=("$mount${path%/}/quorvix-$$")
    done </proc/self/cgroup
    [ ${#cgroups[@]} -gt 0 ] || skip "no cgroup hierarchy for a container"
fi
( for c in "${cgroups[@]}"; do echo "$BASHPID" >"$c/cgroup.procs"; done
  exec systemd-nspawn -q --register=no ${cgroups[0]:+--keep-unit} -M "quorvix$$" -D / --volatile=yes \
    --private-network --bind=/dev/net/tun --bind-ro="$opt:/opt/quorVix" --bind-ro=/etc/alternatives \
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
nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin SYSTEMD_PAGER= sh -eu <<'EOF' || fail "see above"
mkdir /run/vpnc
printf 'IPSec gateway 127.0.0.2\nIPSec ID t\nIPSec secret t\nXauth username t\nXauth password t\n' >/run/vpnc/vpnc.conf
echo 'nameserver 127.0.0.53' >/etc/resolv.conf
cd /etc/systemd/system
cp /opt/quorVix/lib/systemd/system/quorVixd.service .
{ sed '/^\[Install\]/,$d; /^\(Type\|ExecStart\|Restart[A-Za-z]*\)=/d' quorVixd.service
  printf '%s\n' Type=oneshot 'ExecStart=ip tuntap add tun0 mode tun' ExecStart=/usr/share/vpnc-scripts/vpnc-script \
    'Environment=reason=connect VPNGATEWAY=127.0.0.2 TUNDEV=tun0 INTERNAL_IP4_ADDRESS=10.9.0.2' \
    'Environment=INTERNAL_IP4_DNS=10.9.0.53 CISCO_SPLIT_INC=1 CISCO_SPLIT_INC_0_ADDR=10.9.0.0' \
    'Environment=CISCO_SPLIT_INC_0_MASK=255.255.255.0 CISCO_SPLIT_INC_0_MASKLEN=24'
} >connect.service
systemctl daemon-reload
systemctl start quorVixd
refused='vpnc: receiving packet: Connection refused'
for _ in $(seq 300); do journalctl -q -t quorVix -g "$refused" >/dev/null && break; sleep 0.1; done
systemctl stop quorVixd
journalctl -q -t quorVix -o cat
journalctl -q -t quorVix -g "$refused" >/dev/null || { echo "no '$refused' logged"; exit 1; }
[ "$(systemctl show -P Result quorVixd)" = success ] || { journalctl -u quorVixd; exit 1; }
systemctl start connect || { journalctl -u connect; exit 1; }
ip -4 addr show tun0 | grep -q 'inet 10.9.0.2/32' && ip route show 10.9.0.0/24 | grep -q 'dev tun0' &&
    grep -qx 'nameserver 10.9.0.53' /etc/resolv.conf && [ "$(stat -c %a /etc/resolv.conf)" = 644 ] ||
    { ip addr; ip route; ls -l /etc/resolv.conf; cat /etc/resolv.conf; exit 1; }
EOF
echo "vpnc under the unit: ok"
