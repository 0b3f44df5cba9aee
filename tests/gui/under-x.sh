#!/usr/bin/env bash
# Runs a program under a virtual X server of its own (Xvfb) and a private session bus with the
# accessibility bus started, as a desktop session with a screen reader would have them.
set -euo pipefail
runtime=$(mktemp -d /tmp/tervan-x-XXXXXX)
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR=$runtime
unset DBUS_SESSION_BUS_ADDRESS
# -noreset: the server must not reset when the bus launcher, its first client, disconnects.
exec dbus-run-session -- bash -c '
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress >/dev/null 2>&1 || true
    exec xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$@"' bash "$@"
