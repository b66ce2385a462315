#!/usr/bin/env bash
# Two environments in two IPC namespaces of this machine, joined through a nats-server:
# pong (module 0x20) on host B, ping (module 0x21) on host A. Prints ping's round trips
# and both bridges' counters.
set -euo pipefail
cd "$(dirname "$0")/.."
. bridge/cluster.sh
COUNT=${COUNT:-5000}

# Each bridge is a NATS user of its own, with a password that only its credentials file
# holds, and may publish and subscribe only what its host needs: the messages for the module
# on the other host, announcements and acknowledgements. Nobody else may speak on the
# cluster's subjects.
for h in A B; do
  printf 'user=bridge-%s\npassword=%s\n' "$h" \
    "$(python3 -c 'import secrets; print(secrets.token_hex(16))')" >"$work/$h.creds"
  chmod 600 "$work/$h.creds"
  declare "bridge_words_$h=credentials=$work/$h.creds"
done
password() { sed -n 's/^password=//p' "$work/$1.creds"; }
nats_conf=$work/nats.conf
cat >"$nats_conf" <<END
authorization {
  users = [
    { user: bridge-A, password: "$(password A)", permissions: {
        publish:   ["demo.m.32", "demo.announce", "demo.ack.*"]
        subscribe: ["demo.m.33", "demo.announce", "demo.ack.*"] } }
    { user: bridge-B, password: "$(password B)", permissions: {
        publish:   ["demo.m.33", "demo.announce", "demo.ack.*"]
        subscribe: ["demo.m.32", "demo.announce", "demo.ack.*"] } }
  ]
}
END
start_server
parts='environment atomic
partition 0 buffers=200 size=64'
start_host B "$parts
queue 0x20
remote 0x21
spawn pong 0x20"
b=$host_pid
# Both hosts start at once: each loader starts its processes once its bridge has learnt the
# routes, and a request for a module not yet announced waits in the bridge until it is.
start_host A "$parts
queue 0x21
remote 0x20
spawn ping 0x21 0x20 $COUNT"
a=$host_pid
wait "$a" || true
echo "== host A (ping)"
grep -E '^ping|pxr-bridge: stopping' "$work/A.log" | sed 's/ \([a-z_]*=\)/\n  \1/g'
echo "== host B (pong): pxr bridge --stats"
enter_ns "$b" pxr bridge --stats
