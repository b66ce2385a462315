#!/usr/bin/env bash
# Round trip and one-way throughput across the bridge (two environments in two IPC
# namespaces, one nats-server) beside NATS's own request/reply and publish/subscribe between
# two plain processes, at 64 B, 1 KB and 16 KB; median of REPS runs (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
. bridge/cluster.sh
REPS=${REPS:-3} COUNT=${COUNT:-2000} SECONDS_TP=${SECONDS_TP:-2}

start_server
parts='environment atomic
partition 0 buffers=1024 size=64
partition 1 buffers=600 size=16384'
start_host B "$parts
queue 0x20
remote 0x21
spawn pxr-bench-bridge pxr-echo 0x20"
b=$host_pid
start_host A "$parts
queue 0x21
remote 0x20"
a=$host_pid
wait_connected "$b"
wait_connected "$a"
pxr-bench-bridge nats-echo "nats://127.0.0.1:$port" >/dev/null &
pids+=($!)
sleep 0.5

results=$work/results
for rep in $(seq "$REPS"); do
  for size in 64 1024 16384; do
    echo "bridge $(enter_ns "$a" pxr-bench-bridge pxr-run 0x21 0x20 "$size" "$COUNT" "$SECONDS_TP")" >>"$results"
    echo "nats $(pxr-bench-bridge nats-run "nats://127.0.0.1:$port" "$size" "$COUNT" "$SECONDS_TP")" >>"$results"
  done
  echo "run $rep of $REPS done" >&2
done
echo "== bridge counters, host A"; enter_ns "$a" pxr bridge --stats | grep -E 'lost|malformed|forwarded|delivered'
echo "== bridge counters, host B"; enter_ns "$b" pxr bridge --stats | grep -E 'lost|malformed|forwarded|delivered'
python3 - "$results" <<'PY'
import sys, statistics, collections
rows = collections.defaultdict(list)
for line in open(sys.argv[1]):
    kind, size, rtt, tput = line.split()
    rows[(kind, int(size))].append((float(rtt), float(tput)))
def med(kind, size, i): return statistics.median(r[i] for r in rows[(kind, size)])
print("\n| Payload | bridge round trip (µs) | NATS request/reply (µs) | ratio | bridge one-way (msg/s) | NATS pub/sub (msg/s) | ratio |")
print("|---|---:|---:|---:|---:|---:|---:|")
for size in (64, 1024, 16384):
    br, nr = med("bridge", size, 0), med("nats", size, 0)
    bt, nt = med("bridge", size, 1), med("nats", size, 1)
    label = {64: "64 B", 1024: "1 KB", 16384: "16 KB"}[size]
    print(f"| {label} | {br:.1f} | {nr:.1f} | {br/nr:.2f}× | {bt:,.0f} | {nt:,.0f} | {bt/nt:.2f}× |")
PY
