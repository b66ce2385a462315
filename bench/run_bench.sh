#!/bin/sh
# Runs the message path benchmarks in a private System V IPC namespace (the environment uses
# fixed keys) and prints their summary table: once over kernel queues, once over ring queues.
# Extra arguments go to Google Benchmark.
bin="@CMAKE_CURRENT_BINARY_DIR@/bench_msgpath"
set -- --benchmark_min_time=0.5 --benchmark_repetitions=3 --benchmark_color=false "$@"
if unshare --ipc true 2>/dev/null; then
    ns="unshare --ipc"
elif unshare --user --map-root-user --ipc true 2>/dev/null; then
    ns="unshare --user --map-root-user --ipc"
else
    echo "run_bench.sh: no private IPC namespace available; running in the host namespace" >&2
    ns=""
fi
# shellcheck disable=SC2086 # ns is a command line
$ns "$bin" "$@" && $ns "$bin" --ring-queues=1024 "$@"
