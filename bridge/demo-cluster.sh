#!/usr/bin/env bash
# Two environments in two IPC namespaces of this machine, joined through a nats-server:
# pong (module 0x20) on host B, ping (module 0x21) on host A. Prints ping's round trips
# and both bridges' counters.
set -euo pipefail
cd "$(dirname "$0")/.."
. bridge/cluster.sh
COUNT=${COUNT:-5000}

start_server
parts='environment atomic
partition 0 buffers=200 size=64'
start_host B "$parts
queue 0x20
remote 0x21
spawn pong 0x20"
b=$host_pid
wait_connected "$b"
# ping starts once its own bridge is connected (the first request would otherwise be lost).
start_host A "$parts
queue 0x21
remote 0x20
spawn sh -c \"until pxr bridge --stats --json | grep -q connected.:true; do sleep 0.05; done; exec ping 0x21 0x20 $COUNT\""
a=$host_pid
wait "$a" || true
echo "== host A (ping)"
grep -E '^ping|pxr-bridge: stopping' "$work/A.log" | sed 's/ \([a-z_]*=\)/\n  \1/g'
echo "== host B (pong): pxr bridge --stats"
enter_ns "$b" pxr bridge --stats
