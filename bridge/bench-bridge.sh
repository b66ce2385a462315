#!/usr/bin/env bash
# Round trip and one-way throughput across the bridge, at most once and acknowledged (two
# environments in two IPC namespaces, one nats-server) beside NATS's own request/reply and publish/subscribe between
# two plain processes, at 64 B, 1 KB and 16 KB; median of REPS runs (default 3). Results go to
# $BUILD/bench, or to docs/bench (the published figures) with UPDATE_DOCS=1.
set -euo pipefail
cd "$(dirname "$0")/.."
. bridge/cluster.sh
REPS=${REPS:-3} COUNT=${COUNT:-2000} SECONDS_TP=${SECONDS_TP:-2}

start_server
# The measured rows put both bridges on the first server, as NATS's own rows are: no route hop.
all_urls=$urls
urls=" url=nats://127.0.0.1:$port"
parts='environment atomic
partition 0 buffers=1024 size=64
partition 1 buffers=600 size=16384'
# 0x20 and 0x21 talk at most once; 0x30 and 0x31 acknowledged.
start_host B "$parts
queue 0x20 0x30
remote 0x21
remote 0x31 acked
spawn pxr-bench-bridge pxr-echo 0x20
spawn pxr-bench-bridge pxr-echo 0x30"
b=$host_pid
start_host A "$parts
queue 0x21 0x31
remote 0x20
remote 0x30 acked"
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
    echo "bridge-acked $(enter_ns "$a" pxr-bench-bridge pxr-run 0x31 0x30 "$size" "$COUNT" "$SECONDS_TP")" >>"$results"
    for mode in default asap; do
      echo "nats-$mode $(pxr-bench-bridge nats-run "nats://127.0.0.1:$port" $mode "$size" "$COUNT" "$SECONDS_TP")" >>"$results"
    done
  done
  echo "run $rep of $REPS done" >&2
done
out=${BUILD:-build}/bench
[ "${UPDATE_DOCS:-0}" = 1 ] && out=docs/bench
mkdir -p "$out"
{ echo "== host A"; enter_ns "$a" pxr bridge --stats; echo "== host B"; enter_ns "$b" pxr bridge --stats; } |
  tee "$out/bridge-counters.txt"
cp "$results" "$out/bridge-raw.txt"
python3 bridge/bench_report.py "$results" "$out" | tee "$out/bridge.md"
if command -v gnuplot >/dev/null; then (cd "$out" && gnuplot "$OLDPWD/bridge/plot.gp"); fi
# The fault rows, on all three servers; sourced, so that their hosts are cleaned up with ours.
for MODE in at-most-once acked; do . bridge/bench-fault.sh; done >"$out/bridge-fault.txt"
cat "$out/bridge-fault.txt"
echo "written: $out/bridge-fault.txt, $out/bridge.md, $out/bridge-raw.txt, $out/bridge-counters.txt, $out/bridge-lat.dat, $out/bridge-tput.dat, $out/bridge.png"
