# Sourced by the scripts that boot a container with systemd-nspawn. Without
# systemd as PID 1 to make it a scope, nspawn needs a cgroup of its own, in
# the unified hierarchy and in systemd's named one where that is mounted
# (nspawn uses both); in the cgroup it runs in it would split that cgroup
# and leave its two children behind.
#
# nspawn_cgroups NAME: makes the cgroup NAME in each hierarchy and sets the
# array `cgroups` to them (none where systemd is PID 1). Returns 1, saying
# why on standard error, when it cannot. The caller moves nspawn's process
# into each, and removes them with `find DIR -depth -type d -delete` at exit.
nspawn_cgroups() {
    cgroups=()
    [ "$(cat /proc/1/comm)" != systemd ] || return 0
    local _ controller path mount
    while IFS=: read -r _ controller path; do
        case $controller in
            '') mount=$(findmnt -n -t cgroup2 -o TARGET | head -n 1) ;;
            name=systemd) mount=$(findmnt -n -t cgroup -O name=systemd -o TARGET | head -n 1) ;;
            *) continue ;;
        esac
        [ -n "$mount" ] || continue
        mkdir "$mount${path%/}/$1" 2>/dev/null || { echo "cannot make a cgroup for a container" >&2; return 1; }
        cgroups+=("$mount${path%/}/$1")
    done </proc/self/cgroup
    [ ${#cgroups[@]} -gt 0 ] || { echo "no cgroup hierarchy for a container" >&2; return 1; }
}
