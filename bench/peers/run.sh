#!/usr/bin/env bash
# Peer benchmark: libpxrlib against the transports a user would pick instead, measured side by
# side in one run. Prints a markdown table and a CSV at the end and writes the table, the CSVs
# and a PNG plot to BUILD/bench/ (docs/bench/ with UPDATE_DOCS=1).
#
# Environment:
#   QUICK=1      fewer round trips, shorter throughput runs, one repetition (< 3 minutes)
#   UPDATE_DOCS=1  write the results into docs/bench of this checkout, the published figures
#   OUT=dir      where results go (default: BUILD/bench)
#   BUILD=dir    build directory (default: build-peers)
#   PAYLOADS     payload sizes in bytes (default: "64 1024 16384")
#   TRANSPORTS   subset of transports to run (default: every one that was built)
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=${BUILD:-$ROOT/build-peers}
if [ "${UPDATE_DOCS:-0}" = 1 ]; then OUT=${OUT:-$ROOT/docs/bench}; else OUT=${OUT:-$BUILD/bench}; fi
QUICK=${QUICK:-0}
PAYLOADS=${PAYLOADS:-"64 1024 16384"}
MULTI_PAYLOAD=64

log() { printf '[peers] %s\n' "$*" >&2; }

# ---- Packages: the peers come from Debian. Installed when run as root. ----
install_packages() {
    command -v apt-get >/dev/null 2>&1 || return 0
    local base=(cmake ninja-build g++ pkg-config libzmq3-dev)
    local iox=(iceoryx libiceoryx-posh-dev libiceoryx-hoofs-dev)
    local missing=()
    for p in "${base[@]}" "${iox[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
    command -v gnuplot >/dev/null 2>&1 || missing+=(gnuplot)
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        log "missing packages: ${missing[*]} (run as root to install them)"
        return 0
    fi
    log "installing: ${missing[*]}"
    apt-get update -qq
    local install=()
    for p in "${missing[@]}"; do
        case $p in
        gnuplot) # the variant without X is enough for PNG output
            if apt-cache show gnuplot-nox >/dev/null 2>&1; then install+=(gnuplot-nox); else install+=(gnuplot); fi ;;
        *iceoryx*) # packaged only in some Debian releases; without it its rows are left out
            if apt-cache show "$p" >/dev/null 2>&1; then install+=("$p"); else
                log "$p is not packaged in this Debian release: the iceoryx rows are left out"
            fi ;;
        *) install+=("$p") ;;
        esac
    done
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${install[@]}" >/dev/null
}
install_packages

# ---- Build (Release; the library is built from this checkout and linked shared). ----
cmake -S "$HERE" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 >/dev/null
BIN=$BUILD/peerbench

# ---- Every measurement runs in a private IPC namespace: libpxrlib's fixed keys never meet
# another environment, kernel limits can be raised for the peers, and every object dies
# with the namespace. ----
if [ "$(id -u)" = 0 ] && unshare --ipc true 2>/dev/null; then
    NS=(unshare --ipc)
elif unshare --ipc --user --map-root-user true 2>/dev/null; then
    NS=(unshare --ipc --user --map-root-user)
else
    log "cannot create an IPC namespace: the libpxrlib rows need a host without an environment"
    NS=()
fi

if [ "$QUICK" = 1 ]; then
    COUNT=20000 WARM=2000 SECS=0.5 REPS=1 IDLE_SECS=1
else
    COUNT=100000 WARM=2000 SECS=2 REPS=3 IDLE_SECS=2
fi
ALL=$("$BIN" list)
TRANSPORTS=$(echo ${TRANSPORTS:-$ALL})
has() { [[ " $TRANSPORTS " == *" $1 "* ]]; }

mkdir -p "$OUT"
RAW=$OUT/peers-raw.csv
echo "transport,test,payload,producers,rep,ok,median_us,p99_us,mean_us,msgs_per_s,messages,error,paired_with,cpu_us_per_msg,idle_cpu_pct,waits_per_msg,futex_calls" >"$RAW"
# shellcheck source=fanout.sh
. "$HERE/fanout.sh"

ROUDI_PID=
stop_roudi() {
    if [ -n "$ROUDI_PID" ]; then
        kill "$ROUDI_PID" 2>/dev/null || true
        wait "$ROUDI_PID" 2>/dev/null || true
        ROUDI_PID=
    fi
}
trap stop_roudi EXIT
if [[ $TRANSPORTS == *iceoryx* ]]; then
    if command -v iox-roudi >/dev/null 2>&1; then
        iox-roudi -c "$HERE/roudi.toml" -l error >"$BUILD/roudi.log" 2>&1 &
        ROUDI_PID=$!
        sleep 1
    else
        log "iox-roudi not found: iceoryx rows are left out"
        TRANSPORTS=$(tr ' ' '\n' <<<"$TRANSPORTS" | grep -v iceoryx | xargs)
    fi
fi

# Futex calls of every measurement (all its processes), where perf can count the tracepoint.
FUTEX=()
if perf stat -x, -e syscalls:sys_enter_futex -o /dev/null true 2>/dev/null; then
    FUTEX=(perf stat -x, -e syscalls:sys_enter_futex -o "$BUILD/futex.txt")
fi

measure() {
    local line
    line=$(timeout 300 "${NS[@]}" "${FUTEX[@]}" "$BIN" measure --warm "$WARM" --count "$COUNT" \
        --secs "$SECS" --tune "$@" || true)
    if [ -z "$line" ]; then
        line="$2,$4,$6,1,0,0,0,0,0,0,0,no result (crashed or timed out)"
    elif [ ${#FUTEX[@]} -gt 0 ]; then
        line="$line,$(grep -m1 -oE '^[0-9]+' "$BUILD/futex.txt" || true)"
    fi
    echo "$line" >>"$RAW"
    log "$line"
}

start=$(date +%s)
log "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), kernel $(uname -r)"
log "round trips: $COUNT after $WARM warm-up; throughput runs: ${SECS}s; repetitions: $REPS"
# Repetitions are the outer loop, so slow drifts of the machine touch every transport alike.
for rep in $(seq 1 "$REPS"); do
    for payload in $PAYLOADS; do
        for t in $TRANSPORTS; do
            # The batch rows differ from pxr-ring only in throughput: a round trip is one message.
            case $t in
            pxr-ring-b*)
                measure --transport "$t" --test tput --payload "$payload" --rep "$rep"
                continue ;;
            esac
            # Blocking round trips drift between modes of the machine over minutes: each is
            # paired with a floor measured just before it. Busy-polling peers never sleep, so
            # they do not drift with it.
            case $t in
            sysv-floor | shm-poll | iceoryx-poll) ;;
            *) if has sysv-floor; then
                measure --transport sysv-floor --test lat --payload "$payload" --rep "$rep" --pair "$t"
            fi ;;
            esac
            measure --transport "$t" --test lat --payload "$payload" --rep "$rep"
            measure --transport "$t" --test tput --payload "$payload" --rep "$rep"
        done
    done
    for form in pxr-lockfree pxr-locked pxr-ring pxr-ring-cache; do
        has "$form" || continue
        for n in 1 2 3 4; do
            # One producer at this payload is already part of the main table.
            if [ "$n" = 1 ] && grep -qw "$MULTI_PAYLOAD" <<<"$PAYLOADS"; then continue; fi
            measure --transport "$form" --test tput --payload "$MULTI_PAYLOAD" --producers "$n" \
                --rep "$rep"
        done
    done
    # The receive spin window: what a receiver costs while its queue is idle, and a round trip
    # with both processes on one core, beside the blocking forms.
    for t in pxr-lockfree pxr-lockfree-spin pxr-locked-spin pxr-ring pxr-ring-spin sysv-floor-spin; do
        has "$t" || continue
        measure --transport "$t" --test idle --payload "$MULTI_PAYLOAD" --rep "$rep" \
            --secs "$IDLE_SECS"
    done
    for t in pxr-lockfree pxr-lockfree-spin pxr-ring pxr-ring-spin sysv-floor sysv-floor-spin; do
        has "$t" || continue
        measure --transport "$t" --test lat --payload "$MULTI_PAYLOAD" --rep "$rep" --cpus 0,0
    done
    fanout_rep "$rep"
done
stop_roudi
log "measured in $(($(date +%s) - start)) s"

"$BIN" report "$RAW" "$OUT" >"$OUT/peers.md.tmp"
{
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)), kernel $(uname -r)$([ "$QUICK" = 1 ] && echo ', quick mode')."
    echo
    cat "$OUT/peers.md.tmp"
} >"$OUT/peers.md"
rm -f "$OUT/peers.md.tmp"

if command -v gnuplot >/dev/null 2>&1; then
    (cd "$OUT" && gnuplot "$HERE/plot.gp") && log "plot: $OUT/peers.png"
else
    log "gnuplot not found: no plot"
fi
fanout_report

echo
cat "$OUT/peers.md"
echo
cat "$OUT/fanout.md"
echo
echo '```csv'
cat "$OUT/peers.csv"
echo '```'
