#!/bin/bash
# The two commands of README.md's Quick start where nothing is installed: a
# fresh minbase Debian 12 made as the Quick start makes it (mmdebstrap, with
# git, sudo and ca-certificates alone), a clone of this checkout in its /root,
# then scripts/try-it.sh and scripts/test.sh in that tree, each as root under
# systemd-nspawn. try-it gets Ctrl-C's SIGINT once the daemon has logged a
# whole life of the demonstration client and its restart, and must show the
# stop and end cleanly; test.sh must pass. So a package that one of them needs
# and scripts/setup.sh does not install fails here.
# Usage (as root, with mmdebstrap and systemd-nspawn: scripts/setup.sh ci):
#   scripts/ci-fresh.sh
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "fresh: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "run as root"
if ! command -v mmdebstrap >/dev/null || ! command -v systemd-nspawn >/dev/null; then
  fail "needs mmdebstrap and systemd-nspawn: scripts/setup.sh ci"
fi

work=$(mktemp -d "${TMPDIR:-/var/tmp}/quorvix-fresh.XXXXXX")
root=$work/root
# The Quick start's nspawn, with output on plain pipes; its SIGTERM reaches
# try-it as the SIGINT of Ctrl-C.
nspawn=(systemd-nspawn -q --register=no --keep-unit --pipe --kill-signal=SIGINT -D "$root" --chdir=/root/quorVixd)
# A cgroup of its own for nspawn where systemd is not PID 1
# (nspawn-cgroups.sh), and a /run of its own there, where nspawn keeps its
# state, since no systemd looks after the machine's.
. scripts/nspawn-cgroups.sh
cgroups=()
trap 'rm -rf "$work"; for c in "${cgroups[@]}"; do find "$c" -depth -type d -delete; done' EXIT
nspawn_cgroups "quorvix-fresh-$$" || fail "no cgroup for the container"
if [ ${#cgroups[@]} -gt 0 ]; then
  # shellcheck disable=SC2016  # expanded by the inner shell
  nspawn=(unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /run && exec "$@"' sh "${nspawn[@]}")
fi

# Runs "$@" in the fresh tree's checkout. It execs: run it in a subshell or
# in the background.
in_fresh() {
  for c in "${cgroups[@]}"; do echo "$BASHPID" >"$c/cgroup.procs"; done
  exec "${nspawn[@]}" "$@" </dev/null
}

step() { echo "fresh: $* ($(date +%T))"; }

step "making a minbase Debian 12 with mmdebstrap in $root"
started=$SECONDS
mmdebstrap --quiet --variant=minbase --include=git,sudo,ca-certificates bookworm "$root" ||
  fail "mmdebstrap failed"
git clone -q . "$root/root/quorVixd"
step "made in $((SECONDS - started)) s"

step "scripts/try-it.sh, Ctrl-C once the client has been restarted"
out=$work/try-it.out
: >"$out"
started=$SECONDS
in_fresh scripts/try-it.sh >"$out" 2>&1 &
container=$!
shown=
# Installing and building take a minute or two; the demonstration client's
# life some 7 s more.
for _ in $(seq 1800); do
  [ -n "$shown" ] || ! grep -q '^quorVixd started as pid' "$out" || shown=$((SECONDS - started))
  [ "$(grep -c 'notice: starting vpnc$' "$out")" -ge 2 ] || ! kill -0 "$container" 2>/dev/null && break
  sleep 0.5
done
kill -TERM "$container" 2>/dev/null || :
# Before try-it's exec the SIGINT reaches a shell that ignores it.
timeout 30 tail --pid="$container" -f /dev/null || kill -KILL "$container" 2>/dev/null || :
status=0
wait "$container" || status=$?
cat "$out"
[ "$status" = 0 ] || fail "try-it ended with status $status"
grep -q 'quorVix\[[0-9]*\] notice: starting vpnc$' "$out" || fail "try-it: the daemon's log did not show"
grep -q 'quorVix\[[0-9]*\] notice: authenticated; leading spaces are stripped$' "$out" ||
  fail "try-it: the client's line was not logged"
grep -q 'notice: terminated with exit code 1$' "$out" || fail "try-it: the client's end was not logged"
[ "$(grep -c 'notice: starting vpnc$' "$out")" -ge 2 ] || fail "try-it: the client was not restarted"
grep -q 'notice: sending SIGTERM to vpnc([0-9]*) due to signal 15$' "$out" || fail "try-it: Ctrl-C did not stop the client"
grep -q -- '^-- quorVixd exited with status 0 --$' "$out" || fail "try-it: the daemon did not end cleanly"
step "try-it showed the daemon after ${shown:-?} s, ended after $((SECONDS - started)) s"

step "scripts/test.sh in the same tree"
started=$SECONDS
(in_fresh scripts/test.sh) || fail "test.sh failed in the fresh tree"
step "test.sh passed in $((SECONDS - started)) s"
