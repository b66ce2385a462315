#!/usr/bin/env bash
# Where the time of the receive spin window goes, in three comparisons (median of REPS runs):
#   - round trip with the window, with the payload filled and read as in the main table, with
#     only its last byte touched (the library's own cost), and the spinning floor (12 bytes);
#   - one-way throughput, blocking and with the window, with how often the two processes
#     slept per message (voluntary context switches): a window can only save the sleeps there are.
# Uses the peer benchmark's build (bench/peers/run.sh makes it; BUILD as there).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BIN=${BUILD:-$HERE/../../build-peers}/peerbench
REPS=${REPS:-3} COUNT=${COUNT:-20000} SECS=${SECS:-1}
[ -x "$BIN" ] || { echo "where.sh: $BIN not built (run make bench-peers first)" >&2; exit 1; }

measure() { unshare --ipc "$BIN" measure --warm 2000 --count "$COUNT" --secs "$SECS" --tune "$@"; }
# Field 7 is the median round trip (µs), 10 messages/s, 14 CPU µs per message, 16 sleeps per message.
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
row() { # label, fields (comma-separated), measure arguments...
    local label=$1 fields=$2 lines="" rep f out="| $1 |"
    shift 2
    for rep in $(seq "$REPS"); do lines+="$(measure "$@")"$'\n'; done
    for f in ${fields//,/ }; do out+=" $(grep . <<<"$lines" | cut -d, -f"$f" | median) |"; done
    echo "$out"
}

echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, median of $REPS runs."
echo
echo "| Round trip, µs | median |"
echo "|---|---:|"
for p in 64 1024 16384; do
    row "$p B, lock-free, window, payload filled and read" 7 --transport pxr-lockfree-spin --test lat --payload "$p"
    row "$p B, lock-free, window, last byte only" 7 --transport pxr-lockfree-spin --test lat --payload "$p" --untouched
    row "$p B, spinning floor" 7 --transport sysv-floor-spin --test lat --payload "$p"
done
echo
echo "| One way | messages/s | sleeps per message |"
echo "|---|---:|---:|"
for p in 64 1024 16384; do
    for t in pxr-lockfree pxr-lockfree-spin; do
        row "$p B, $t" 10,16 --transport "$t" --test tput --payload "$p"
    done
done
