#!/bin/bash
# The package brings Debian's vpnc up under the unit's confinement, as the
# README's "Set up a VPN" has an administrator do it, and again after a
# reboot. A throw-away container boots systemd on a root of its own, whose
# /etc and /var stay on disk between its boots, on the host's /usr under an
# overlay that keeps what dpkg writes, with a network of its own. There the
# built package is installed with dpkg, the example configuration becomes
# /etc/quorVix/vpnc.conf and the unit is enabled and started: vpnc sends IKE,
# with the configuration's group name, to the configuration's gateway (a
# listener that never answers, so vpnc keeps waiting), and a line that vpnc
# prints on standard output is logged while vpnc runs. After a reboot (a
# fresh /run), the same with nothing else done, then a clean stop. No gateway
# completes the exchange, so a copy of the unit that runs other commands
# makes a tun device (vpnc's ioctl on /dev/net/tun) and runs vpnc-script with
# vpnc's connect variables: address, route, name server.
#
# Usage: unit_vpnc.sh BUILD_DIR
. "$(dirname "$0")/common.sh"
[ "$(id -u)" = 0 ] && [ -c /dev/net/tun ] || skip "a container needs root and /dev/net/tun"
need systemd-nspawn systemd-container
need vpnc vpnc
need ip iproute2
need ps procps
need cpack cmake
need dpkg-shlibdeps dpkg-dev
[ -x /usr/share/vpnc-scripts/vpnc-script ] || skip "vpnc-script not found (Debian package vpnc-scripts)"
make_work_dir
# The container brings up its own network: that takes CAP_NET_ADMIN, which
# a container this runs in may lack.
unshare --net ip link set lo up 2>/dev/null ||
    skip "cannot bring up a network of its own here (no CAP_NET_ADMIN, as in a container)"
build_package "$1"
# The container's root: /etc, /var with an empty dpkg database, the host's
# merged-/usr links, and the package.
root=$work/root
mkdir -p "$root"/{etc,srv,usr,var/log,var/lib/dpkg/info,var/lib/dpkg/updates} "$work/usr"
: >"$root/var/lib/dpkg/status"
for link in /bin /sbin /lib /lib32 /lib64 /libx32; do [ ! -L "$link" ] || cp -P "$link" "$root/"; done
cp -L /etc/os-release "$root/etc/"
cp "$out"/*.deb "$root/srv/quorvixd.deb"
# Without systemd as PID 1 to make it a scope, nspawn gets a cgroup of its
# own, in the unified hierarchy and in systemd's named one where that is
# mounted (nspawn uses both).
cgroups=()
nspawn=
trap '[ -z "$nspawn" ] || halt
      rm -rf "$work" "/run/systemd/nspawn/propagate/quorvix$$"
      for c in "${cgroups[@]}"; do find "$c" -depth -type d -delete; done' EXIT
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
# Boots the container (sets $nspawn and $leader, its systemd); halt powers it off.
boot() {
    ( for c in "${cgroups[@]}"; do echo "$BASHPID" >"$c/cgroup.procs"; done
      exec systemd-nspawn -q --register=no ${cgroups[0]:+--keep-unit} -M "quorvix$$" -D "$root" \
        --overlay=/usr:"$work/usr":/usr --private-network --bind=/dev/net/tun \
        --bind-ro=/etc/alternatives --bind-ro=/etc/ld.so.cache -b systemd.mask=systemd-firstboot.service \
        systemd.mask=systemd-networkd-wait-online.service ) >"$work/console" 2>&1 </dev/null &
    nspawn=$!
    for _ in $(seq 600); do
        leader=$(pgrep -P "$nspawn" -x systemd) && [ -S "/proc/$leader/root/run/systemd/private" ] && return
        kill -0 "$nspawn" 2>/dev/null || skip "cannot boot a container: $(tail -n 3 "$work/console")"
        sleep 0.1
    done
    skip "the container did not boot within 60 s"
}
halt() {
    kill "$nspawn" 2>/dev/null && timeout 20 tail --pid="$nspawn" -f /dev/null || kill -9 "$nspawn" 2>/dev/null || :
    nspawn=
}
# Runs the shell script on standard input in the container, after the
# functions below: wait_for waits up to 30 s until a command succeeds;
# running waits until the gateway has had IKE with the configuration's group
# name, and until a line that vpnc printed on standard output is logged
# while that vpnc still runs: after the last "starting vpnc" of this boot,
# with no end logged, and the same vpnc before and after.
in_container() {
    nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin SYSTEMD_PAGER= sh -eu -c '
wait_for() { for _ in $(seq 300); do ! eval "$1" >/dev/null 2>&1 || return 0; sleep 0.1; done; echo "not within 30 s: $1"; exit 1; }
printed() {
    journalctl -b -q -t quorVix -o cat |
        awk "/^starting vpnc\$/ { v = t = 0 } /^vpnc version/ { v = 1 } /^terminated/ { t = 1 } END { exit !(v && !t) }"
}
running() {
    wait_for "grep -aq quorvix-test-group /run/gateway"
    wait_for "pid=\$(pgrep -x vpnc) && printed && [ \"\$(pgrep -x vpnc)\" = \"\$pid\" ]"
}
'"$(cat)" || fail "see above"
}

boot
in_container <<'EOF'
dpkg -i --force-depends /srv/quorvixd.deb >/srv/dpkg.log 2>&1 || { cat /srv/dpkg.log; exit 1; }
systemctl start quorVixd
journalctl -b -u quorVixd | grep -qF '(ConditionFileNotEmpty=/etc/quorVix/vpnc.conf)' ||
    { journalctl -b -u quorVixd; echo "not skipped for want of /etc/quorVix/vpnc.conf"; exit 1; }
cat >/etc/gateway.pl <<'PERL'
use IO::Socket::INET;
my $socket = IO::Socket::INET->new(LocalAddr => '127.0.0.19:500', Proto => 'udp') or die "bind: $!";
open(my $out, '>>', '/run/gateway') or die "/run/gateway: $!";
while (defined $socket->recv(my $packet, 65535)) { syswrite $out, $packet }
PERL
printf '%s\n' '[Unit]' Before=quorVixd.service '[Service]' 'ExecStart=perl /etc/gateway.pl' \
    '[Install]' WantedBy=multi-user.target >/etc/systemd/system/gateway.service
install -D -m 0600 /usr/share/doc/quorvixd/examples/vpnc.conf /etc/quorVix/vpnc.conf
sed -i 's/^IPSec gateway .*/IPSec gateway 127.0.0.19/; s/^IPSec ID .*/IPSec ID quorvix-test-group/' /etc/quorVix/vpnc.conf
printf 'Local Port 0\nDebug 1\n' >>/etc/quorVix/vpnc.conf
systemctl --quiet enable --now gateway quorVixd
running
echo 'nameserver 127.0.0.53' >/etc/resolv.conf
cd /etc/systemd/system
{ sed '/^\[Install\]/,$d; /^\(Type\|ExecStart\|Restart[A-Za-z]*\)=/d' /usr/lib/systemd/system/quorVixd.service
  printf '%s\n' Type=oneshot 'ExecStart=ip tuntap add tun9 mode tun' ExecStart=/opt/quorVix/etc/quorvix-script \
    'Environment=reason=connect VPNGATEWAY=127.0.0.19 TUNDEV=tun9 INTERNAL_IP4_ADDRESS=10.9.0.2' \
    'Environment=INTERNAL_IP4_DNS=10.9.0.53 CISCO_SPLIT_INC=1 CISCO_SPLIT_INC_0_ADDR=10.9.0.0' \
    'Environment=CISCO_SPLIT_INC_0_MASK=255.255.255.0 CISCO_SPLIT_INC_0_MASKLEN=24'
} >connect.service
systemctl daemon-reload
systemctl start connect || { journalctl -u connect; exit 1; }
ip -4 addr show tun9 | grep -q 'inet 10.9.0.2/32' && ip route show 10.9.0.0/24 | grep -q 'dev tun9' &&
    grep -qx 'nameserver 10.9.0.53' /etc/resolv.conf && [ "$(stat -c %a /etc/resolv.conf)" = 644 ] ||
    { ip addr; ip route; ls -l /etc/resolv.conf; cat /etc/resolv.conf; exit 1; }
EOF
echo "installed, configured and started: ok"
halt
boot
in_container <<'EOF'
running
systemctl stop quorVixd
journalctl -b -q -t quorVix -o cat
[ "$(systemctl show -P Result quorVixd)" = success ] || { journalctl -b -u quorVixd; exit 1; }
EOF
echo "after a reboot, and stopped: ok"
