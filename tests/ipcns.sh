#!/bin/sh
# Runs a test program in a private System V IPC namespace, so that tests with the
# environment's fixed keys can run in parallel and leave nothing on the host.
if unshare --ipc true 2>/dev/null; then
    exec unshare --ipc "$@"
fi
if unshare --user --map-root-user --ipc true 2>/dev/null; then
    exec unshare --user --map-root-user --ipc "$@"
fi
exec "$@"
