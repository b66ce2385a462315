#!/bin/sh
# Runs the message path benchmarks in a private System V IPC namespace (the environment uses
# fixed keys) and prints their summary table. Extra arguments go to Google Benchmark.
bin="@CMAKE_CURRENT_BINARY_DIR@/bench_msgpath"
set -- --benchmark_min_time=0.5 --benchmark_repetitions=3 --benchmark_color=false "$@"
if unshare --ipc true 2>/dev/null; then
    exec unshare --ipc "$bin" "$@"
fi
if unshare --user --map-root-user --ipc true 2>/dev/null; then
    exec unshare --user --map-root-user --ipc "$bin" "$@"
fi
echo "run_bench.sh: no private IPC namespace available; running in the host namespace" >&2
exec "$bin" "$@"
