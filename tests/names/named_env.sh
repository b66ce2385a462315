#!/bin/sh
# Two named environments of one configuration side by side, each reached by its name and
# ended by a ping started in it; a named environment whose loader was killed, cleaned up by
# name; nothing left afterwards. As root, and again as the user nobody (user namespaces).
# usage: named_env.sh PXR EXAMPLES_DIR DEMO_CONF
set -eu
pxr=$1 examples=$2 demo=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
grep -v '^spawn ping' "$demo" >"$work/pong.conf" # ping is started by name below
chmod 644 "$work/pong.conf"

fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() { # NAME: until the named environment's pong runs
    i=0
    until "$pxr" --name "$1" procs 2>/dev/null | grep -q 'running  *pong'; do
        i=$((i + 1)); [ $i -lt 100 ] || fail "environment $1 did not come up"; sleep 0.1
    done
}

run_pair() {
    rt=$PXR_RUNTIME_DIR
    "$pxr" load --name a "$work/pong.conf" >"$work/a.out" 2>&1 & la=$!
    "$pxr" load -v --name b "$work/pong.conf" >"$work/b.out" 2>&1 & lb=$!
    wait_for a; wait_for b
    "$pxr" load --name a "$work/pong.conf" 2>&1 | grep -q 'named a runs' || fail "second a"
    "$pxr" status 2>&1 | grep -q 'no environment is running' || fail "the host sees an environment"
    "$pxr" --name a exec ping 0x21 0x20 500 | grep -q '500 round trips' || fail "ping in a"
    "$pxr" --name b exec ping 0x21 0x20 700 | grep -q '700 round trips' || fail "ping in b"
    wait $la || fail "loader a: $(cat "$work/a.out")"
    wait $lb || fail "loader b: $(cat "$work/b.out")"
    [ ! -e "$rt" ] || fail "left in $rt: $(ls -a "$rt")"

    "$pxr" load --name c "$work/pong.conf" >/dev/null 2>&1 & lc=$!
    wait_for c
    kill -9 $lc; wait $lc || true
    "$pxr" --name c clean | grep -q pong || fail "clean by name"
    "$pxr" --name c status 2>&1 | grep -q 'no environment named c' || fail "c after clean"
    [ ! -e "$rt" ] || fail "left after clean in $rt: $(ls -a "$rt")"
}

export PATH="$examples:$PATH"
PXR_RUNTIME_DIR=$work/run-root run_pair
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    if as_nobody sh -c "test -x '$pxr' && unshare --user true" 2>/dev/null; then
        as_nobody sh "$0" "$@" || fail "as the user nobody"
    else
        echo "the user nobody cannot run $pxr or has no user namespaces: not tried as nobody"
    fi
fi
echo "named environments side by side: ok ($(id -un))"
