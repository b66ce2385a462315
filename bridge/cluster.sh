# Helpers for the cluster demo and benchmark: a nats-server on a free loopback port and
# environments ("hosts") in private IPC namespaces on this machine. Sourced, not run.
#   BUILD  the build directory (default build)

build=$(cd "${BUILD:-build}" && pwd)
export PATH="$build/tools:$build/examples:$build/bridge:$PATH"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

# New IPC namespace: plain as root, else inside a user namespace.
if unshare --ipc true 2>/dev/null; then
  new_ns=(unshare --ipc); enter_ns() { nsenter -t "$1" --ipc "${@:2}"; }
else
  new_ns=(unshare --user --map-root-user --ipc)
  enter_ns() { nsenter -t "$1" --user --ipc --preserve-credentials "${@:2}"; }
fi

start_server() {
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  nats-server -a 127.0.0.1 -p "$port" >"$work/nats.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return; sleep 0.05; done
  echo "nats-server did not start" >&2; exit 1
}

# start_host NAME CONFIG-BODY: `pxr load` in a new namespace; sets host_pid.
start_host() {
  printf '%s\nbridge url=nats://127.0.0.1:%s cluster=demo node=%s\n' "$2" "$port" "$1" >"$work/$1.conf"
  "${new_ns[@]}" pxr load ${LOAD_FLAGS:-} "$work/$1.conf" >"$work/$1.log" 2>&1 &
  host_pid=$!
  pids+=($host_pid)
}

# wait_connected PID: until the bridge in that host's namespace is connected.
wait_connected() {
  for _ in $(seq 200); do
    enter_ns "$1" pxr bridge --stats --json 2>/dev/null | grep -q '"connected":true' && return
    sleep 0.05
  done
  echo "the bridge did not connect" >&2; exit 1
}
