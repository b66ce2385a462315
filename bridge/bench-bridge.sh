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
for mode in default asap; do
  pxr-bench-bridge nats-echo "nats://127.0.0.1:$port" $mode >/dev/null &
  pids+=($!)
done
sleep 0.5

results=$work/results
for rep in $(seq "$REPS"); do
  for size in 64 1024 16384; do
    echo "bridge $(enter_ns "$a" pxr-bench-bridge pxr-run 0x21 0x20 "$size" "$COUNT" "$SECONDS_TP")" >>"$results"
    for mode in default asap; do
      echo "nats-$mode $(pxr-bench-bridge nats-run "nats://127.0.0.1:$port" $mode "$size" "$COUNT" "$SECONDS_TP")" >>"$results"
    done
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
label = {64: "64 B", 1024: "1 KB", 16384: "16 KB"}
names = {"bridge": "pxr bridge (send at once)", "nats-asap": "NATS, send at once",
         "nats-default": "NATS, default options"}
for i, title, unit in ((0, "Round trip", "µs, median"), (1, "One-way throughput", "messages/s")):
    print(f"\n{title} ({unit}; median of the runs; ratio to NATS with the bridge's option)\n")
    print("| | " + " | ".join(label[s] for s in (64, 1024, 16384)) + " |")
    print("|---|---:|---:|---:|")
    for kind in ("bridge", "nats-asap", "nats-default"):
        cells = []
        for s in (64, 1024, 16384):
            v, ref = med(kind, s, i), med("nats-asap", s, i)
            cells.append((f"{v:.0f}" if i else f"{v:.1f}") + f" ({v/ref:.2f}×)")
        print(f"| {names[kind]} | " + " | ".join(cells) + " |")
PY
