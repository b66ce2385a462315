#!/usr/bin/env bash
# The bridge under faults: numbered messages from host D to host C at RATE per second (default
# 2500) for 10 s through a cluster of three nats-servers; at 2 s the server D's bridge uses is
# killed (-9) and started again 2 s later, at 5 s C's bridge is killed, at 7 s D's (the loaders
# start them again), and at 8 s the server C's bridge uses is cut off for 3 s (stopped: its
# connections stay open and carry nothing, as in a network partition). Prints sent, received,
# lost, duplicated, out of order, the losses the bridges counted and the frames resent, for
# MODE (at-most-once, the default, or acked: `remote 0x22 acked` on D).
# Run alone or as the last part of bench-bridge.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${work:-}" ] || . bridge/cluster.sh
[ -n "${all_urls:-}" ] || { start_server; all_urls=$urls; }
urls=$all_urls
RATE=${RATE:-2500}
MODE=${MODE:-at-most-once}
acked=""
[ "$MODE" = acked ] && acked=" acked"
parts='environment atomic
partition 0 buffers=1024 size=64'
start_host C$MODE "$parts
queue 0x22
remote 0x23"
c=$host_pid
start_host D$MODE "$parts
queue 0x23
remote 0x22$acked"
d=$host_pid
wait_connected "$c"
wait_connected "$d"
enter_ns "$c" pxr-bench-bridge pxr-count 0x22 4 >"$work/count" &
counter=$!
sleep 0.5
enter_ns "$d" pxr-bench-bridge pxr-stream 0x23 0x22 "$RATE" 10 >"$work/stream" &
stream=$!

sleep 2
server=$(bridge_field "$d" server)
killed=""
for i in 0 1 2; do
  if [ "$server" = "nats://127.0.0.1:${ports[$i]}" ]; then
    killed=$i
    kill -9 "${server_pids[$i]}"
    wait "${server_pids[$i]}" 2>/dev/null || true
  fi
done
sleep 2
[ -n "$killed" ] && start_nats "$killed"
sleep 1
kill -9 "$(bridge_field "$c" pid)"
sleep 2
kill -9 "$(bridge_field "$d" pid)"
sleep 1
server=$(bridge_field "$c" server)
cut=""
for i in 0 1 2; do
  [ "$server" = "nats://127.0.0.1:${ports[$i]}" ] && cut=${server_pids[$i]}
done
if [ -n "$cut" ]; then
  kill -STOP "$cut"
  sleep 3
  kill -CONT "$cut"
fi
wait "$stream"
wait "$counter"

read -r _ sent _ refused <"$work/stream"
read -r _ received _ duplicated _ disordered <"$work/count"
sum() { # the named counters of the bridge in host $1's namespace
  enter_ns "$1" pxr bridge --stats --json | python3 -c "import json, sys
s = json.load(sys.stdin); print(sum(s[k] for k in sys.argv[1:]))" "${@:2}"
}
counted_d=$(sum "$d" lost_no_connection lost_unknown_module lost_too_large lost_bridge_killed)
counted_c=$(sum "$c" lost_in_transit lost_unknown_module lost_too_large lost_no_buffer lost_send_failed refused_origin refused_ahead)
lost=$((sent - (received - duplicated)))
duplicates=$(sum "$c" duplicates) resent=$(sum "$d" resent)
echo "fault $MODE ($RATE/s, 10 s): sent $sent (refused locally $refused) received $((received - duplicated)) lost $lost duplicated $duplicated out-of-order $disordered counted $((counted_d + counted_c)) (sender $counted_d, receiver $counted_c) resent $resent dropped-as-duplicates $duplicates"
kill "$c" "$d" # the next mode's hosts take the same modules
wait "$c" "$d" 2>/dev/null || true
