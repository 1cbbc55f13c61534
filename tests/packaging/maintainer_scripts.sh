#!/bin/bash
# What the package's maintainer scripts ask of the init system at each
# step, with deb-systemd-helper, deb-systemd-invoke and systemctl replaced
# by stubs that only record their arguments. The unit is never enabled,
# started or restarted by the package; removing it stops the service;
# purging it removes the links of an enabled unit.
#
# The scripts reload and stop only where systemd runs, as told by
# /run/systemd/system. Each script runs in a private mount namespace with a
# /run of its own, once with that directory and once without, so both cases
# are checked whatever this machine runs; without the rights for that, only
# this machine's case is.
#
# Usage: maintainer_scripts.sh SOURCE_DIR
. "$(dirname "$0")/common.sh"
scripts=$1/packaging/debian
make_work_dir

stubs=$work/bin
mkdir "$stubs"
for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$work" >"$stubs/$tool"
    chmod +x "$stubs/$tool"
done

# Runs maintainer script $2 with the arguments that follow; $1 (yes or no)
# tells whether it should find systemd running.
run_script() {
    local systemd=$1
    shift
    local path=$stubs:/usr/sbin:/usr/bin:/sbin:/bin
    if [ "$private_run" = yes ]; then
        unshare --mount --propagation private sh -c '
            mount -t tmpfs tmpfs /run || exit 99
            [ "$0" = no ] || mkdir -p /run/systemd/system || exit 99
            script=$2/$3 PATH=$1
            shift 3
            exec sh "$script" "$@"' "$systemd" "$path" "$scripts" "$@"
    else
        PATH=$path sh "$scripts/$1" "${@:2}"
    fi
}

# Fails unless maintainer script $2, run with the arguments that follow and
# systemd running or not as $1 says, succeeds and makes exactly the calls
# given on standard input.
expect_calls() {
    local systemd=$1 expected actual
    shift
    expected=$(cat)
    : >"$work/calls"
    run_script "$systemd" "$@" || fail "$* (systemd running: $systemd) exited with status $?"
    actual=$(cat "$work/calls")
    if [ "$expected" != "$actual" ]; then
        printf 'expected:\n%s\nfound:\n%s\n' "$expected" "$actual" >&2
        fail "unexpected calls from $* (systemd running: $systemd)"
    fi
}

# Prints the non-empty arguments, one per line.
lines() {
    local line
    for line; do
        [ -z "$line" ] || echo "$line"
    done
}

# All the steps, with systemd running ($1 = yes) or not.
check_steps() {
    local systemd=$1 reload= stop=
    if [ "$systemd" = yes ]; then
        reload='systemctl --system daemon-reload'
        stop='deb-systemd-invoke stop quorVixd.service'
    fi
    local record='deb-systemd-helper update-state quorVixd.service'

    lines "$record" "$reload" | expect_calls "$systemd" postinst configure
    lines "$record" "$reload" | expect_calls "$systemd" postinst configure 0.1.0
    lines "$record" "$reload" | expect_calls "$systemd" postinst abort-upgrade 0.2.0
    lines | expect_calls "$systemd" postinst triggered something

    lines "$stop" | expect_calls "$systemd" prerm remove
    lines | expect_calls "$systemd" prerm upgrade 0.2.0
    lines | expect_calls "$systemd" prerm deconfigure in-favour other 1.0

    lines "$reload" | expect_calls "$systemd" postrm remove
    lines 'deb-systemd-helper purge quorVixd.service' | expect_calls "$systemd" postrm purge
    lines | expect_calls "$systemd" postrm upgrade 0.2.0
    lines | expect_calls "$systemd" postrm disappear other 1.0
}

if unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /run' 2>/dev/null; then
    private_run=yes
    check_steps yes
    check_steps no
else
    private_run=no
    if [ -d /run/systemd/system ]; then here=yes; else here=no; fi
    echo "note: no private mount namespace here: checked only with systemd running: $here"
    check_steps "$here"
fi

echo "maintainer scripts: ok"
