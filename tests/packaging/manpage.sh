#!/bin/bash
# The manual page renders without a single warning, and it documents what
# the daemon really does: every message it logs or prints, under the right
# heading, and every file it uses. The messages and paths are read from the
# daemon's sources, so a message added or reworded there fails this test
# until the page follows. The page and README.md show each example drop-in
# as the package ships it.
#
# Usage: manpage.sh SOURCE_DIR
. "$(dirname "$0")/common.sh"
source=$1
page=$source/man/quorVixd.8
need groff groff-base
make_work_dir

# 1. Rendering, as groff and man (the way lintian runs it) see the page.
groff -man -Tutf8 -ww -z "$page" >"$work/groff" 2>&1 || fail "groff failed on $page"
if [ -s "$work/groff" ]; then
    cat "$work/groff" >&2
    fail "groff warns about $page"
fi
if command -v man >/dev/null; then
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" \
        >/dev/null 2>"$work/man" || fail "man -l failed on $page"
    if [ -s "$work/man" ]; then
        cat "$work/man" >&2
        fail "man -l warns about $page"
    fi
else
    echo "note: man not found (Debian package man-db): man -l not run"
fi
if command -v lexgrog >/dev/null; then
    whatis=$(lexgrog "$page") || fail "lexgrog cannot read the NAME section: $whatis"
    case $whatis in
        *'"quorVixd - '*) ;;
        *) fail "unexpected whatis entry: $whatis" ;;
    esac
fi

# 2. Contents, on the page as plain text: one line per paragraph, no
#    hyphenation at line ends, no emphasis.
groff -man -Tascii -P-cbou -rLL=2000n "$page" 2>/dev/null >"$work/text"

# Prints the body of heading $1 (a section, or a subsection when indented
# by three spaces) up to the next heading of either kind.
body_of() {
    awk -v heading="$1" '
        $0 == heading { inside = 1; next }
        inside && /^(   )?[A-Z]/ { exit }
        inside { print }
    ' "$work/text"
}

for heading in NAME SYNOPSIS DESCRIPTION FILES SIGNALS 'EXIT STATUS' DIAGNOSTICS 'SEE ALSO'; do
    grep -qx "$heading" "$work/text" || fail "no section $heading"
done

# A format string as the page shows it: each conversion stands for a word
# or more (the page names them, as in "exit code code").
pattern_of() {
    printf '%s' "$1" | sed -e 's/\\n$//' -e 's/[][\.*^$+?(){}|/]/\\&/g' -e 's/%l*[sdu]/.+/g'
}

# Fails unless the format string $2 is a tag line under heading $1.
expect_message() {
    local heading=$1 format=$2
    body_of "$heading" | grep -Eqx "       $(pattern_of "$format")" ||
        fail "message \"$format\" not documented under \"${heading# *}\""
}

sources=("$source"/supervisor/*.cpp "$source"/supervisor/*.h "$source"/relay/*.cpp "$source"/relay/*.h)
flat=$work/sources
cat "${sources[@]}" | tr '\n' ' ' >"$flat"

# Messages passed to syslog, to the daemon's own log calls or to printf
# directly. "%s" alone is a forwarded client line, described in prose.
calls=$(grep -oE '((syslog|log_event|log_client_end)\(|log_event_then\([a-z_]+, *)LOG_[A-Z]+ *, *"([^"\\]|\\.)*"|(dprintf\(STDERR_FILENO|printf\() *,? *"([^"\\]|\\.)*"' "$flat" || true)
[ -n "$calls" ] || fail "no log calls found in the sources"
count=0
while read -r call; do
    format=${call#*\"}
    format=${format%\"}
    case $call in
        *LOG_NOTICE*) heading='   Notices' ;;
        *LOG_ERR*) heading='   Errors' ;;
        *LOG_WARNING*) heading='   Warnings' ;;
        dprintf*) heading='   Standard output and standard error' ;;
        printf*) heading='   Standard output and standard error' ;;
        *) fail "unexpected priority in: $call" ;;
    esac
    [ "$format" = %s ] && continue
    # The two start-up messages name the entry function and the action.
    format=${format/'%s - open error'/main - open error}
    format=${format/'%s - cannot %s fifo'/main - cannot create fifo}
    expect_message "$heading" "$format"
    count=$((count + 1))
done <<<"$calls"

# Messages whose format is chosen away from the call that logs it: how a
# client ended, and the count of messages dropped.
while IFS='|' read -r heading format; do
    grep -qF "\"$format\"" "$flat" || fail "\"$format\" is no longer in the sources"
    expect_message "$heading" "$format"
    count=$((count + 1))
done <<'MESSAGES'
   Notices|terminated with exit code %d
   Notices|terminated by signal %d
   Warnings|%u messages not logged: the system logger fell behind
MESSAGES
echo "$count messages documented"

# Every absolute path the daemon uses, under FILES.
paths=$(grep -oE '"/[^"]+"' "$flat" | tr -d '"' | LC_ALL=C sort -u)
[ -n "$paths" ] || fail "no paths found in the sources"
body_of FILES >"$work/files"
while read -r path; do
    grep -qx "       $path" "$work/files" || fail "$path not listed under FILES"
done <<<"$paths"
echo "$(wc -l <<<"$paths") paths documented"

# Both exit statuses.
body_of 'EXIT STATUS' >"$work/status"
for status in 0 1; do
    grep -Eq "^       $status( |$)" "$work/status" || fail "exit status $status not documented"
done

# Each example drop-in as shipped, leading spaces aside, on the page and in
# README.md.
for example in own-client own-config encrypted-config; do
    shipped=$(sed 's/^ *//' "$source/packaging/client/$example.conf")
    [[ $(sed 's/^ *//' "$work/text") == *"$shipped"* ]] || fail "the page does not show $example.conf as shipped"
    [[ $(sed 's/^ *//' "$source/README.md") == *"$shipped"* ]] || fail "README.md does not show $example.conf as shipped"
done

echo "manual page: ok"
