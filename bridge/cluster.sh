# Helpers for the cluster demo and benchmark: three nats-servers on free loopback ports and
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

# start_nats I: server I of the cluster (again, after it was killed); its pid in server_pids[I].
server_pids=()
start_nats() {
  local routes="nats://127.0.0.1:${ports[3]},nats://127.0.0.1:${ports[4]},nats://127.0.0.1:${ports[5]}"
  nats-server ${nats_conf:+-c "$nats_conf"} -a 127.0.0.1 -p "${ports[$1]}" --cluster_name pxr \
    --cluster "nats://127.0.0.1:${ports[$(($1 + 3))]}" --routes "$routes" >>"$work/nats$1.log" 2>&1 &
  server_pids[$1]=$!
  pids+=($!)
}

# start_server: three nats-servers on free loopback ports, routed to each other as one
# cluster (with the configuration file nats_conf, if set); sets port (the first server's client port) and urls (a url= word per server, for
# the bridge lines: a bridge whose server dies goes on with another).
start_server() {
  read -r -a ports <<<"$(python3 -c 'import socket
ss = [socket.socket() for _ in range(6)]
for s in ss: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in ss))')"
  urls=""
  for i in 0 1 2; do
    start_nats "$i"
    urls+=" url=nats://127.0.0.1:${ports[$i]}"
  done
  port=${ports[0]}
  # Up when every server has routes to the two others.
  for _ in $(seq 200); do
    local routed=0
    for i in 0 1 2; do
      [ "$(grep -c 'Route connection created' "$work/nats$i.log" 2>/dev/null)" -ge 2 ] && routed=$((routed + 1))
    done
    [ "$routed" = 3 ] && return
    sleep 0.05
  done
  echo "the nats-server cluster did not form" >&2; exit 1
}

# start_host NAME CONFIG-BODY: `pxr load` in a new namespace; sets host_pid. The variable
# bridge_words_NAME, if set, adds words to the host's bridge line.
start_host() {
  local words="bridge_words_${1//[^A-Za-z0-9_]/_}"
  printf '%s\nbridge%s cluster=demo node=%s %s\n' "$2" "$urls" "$1" "${!words:-}" >"$work/$1.conf"
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

# bridge_field PID NAME: a field of the stats JSON of the bridge in that host's namespace.
bridge_field() {
  enter_ns "$1" pxr bridge --stats --json | python3 -c "import json, sys; print(json.load(sys.stdin)['$2'])"
}
