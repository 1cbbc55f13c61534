#!/bin/sh
# Runs the try-it program as a terminal does, leading a process group of its
# own (setsid does not fork here), sends the group "Ctrl-C" (SIGINT) once the
# client has been restarted and checks what it printed; then, once it runs, a
# hang-up (SIGHUP). Only try-it's SIGTERM may reach the daemon (its setsid).
set -u
try=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
setsid "$try" >"$out" 2>&1 &
pid=$!
for _ in $(seq 300); do [ "$(grep -c 'starting vpnc$' "$out")" -ge 2 ] || ! kill -0 "$pid" && break; sleep 0.1; done
kill -INT "-$pid"
wait "$pid"
status=$?
cat "$out"
grep -q 'cannot make a sandbox here' "$out" && { echo "skipped: needs root: run scripts/test.sh as root"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
[ "$status" = 0 ] || fail "exit status $status"
grep -q 'quorVix\[[0-9]*\] notice: starting vpnc$' "$out" || fail "no start"
grep -q 'notice: authenticated; leading spaces are stripped$' "$out" || fail "no stripped line"
grep -q 'notice: warning: this line went to standard error$' "$out" || fail "no stderr line"
grep -q 'notice: an unterminated last line is logged too$' "$out" || fail "no unterminated line"
grep -q 'notice: terminated with exit code 1$' "$out" || fail "no end"
[ "$(grep -c 'notice: starting vpnc$' "$out")" -ge 2 ] || fail "no restart"
grep -q 'notice: sending SIGTERM to vpnc([0-9]*) due to signal 15$' "$out" || fail "no stop"
grep -q 'demo client: SIGTERM received, disconnecting$' "$out" || fail "no last words"
grep -q -- '-- quorVixd exited with status 0 --' "$out" || fail "no clean exit"
grep -q 'bracket' "$out" && fail "a bracket line was logged"
: >"$out"  # before the start: the child truncates it only later
setsid "$try" >"$out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q 'starting vpnc$' "$out" && break; sleep 0.1; done
kill -HUP "-$pid"
wait "$pid"
status=$?
box=$(sed -n 's/.*in a private sandbox (\(.*\))\.$/\1/p' "$out")
[ "$status" = 0 ] && grep -q -- '-- quorVixd exited with status 0 --' "$out" || fail "SIGHUP: status $status"
[ -n "$box" ] && [ ! -e "$box" ] || fail "SIGHUP: $box left behind"
echo "PASS"
