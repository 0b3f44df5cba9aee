#!/usr/bin/env bash
# Takes the pictures of the window shown in the README: under a virtual X display (Xvfb) the
# window connects to the virtual target on COM1 and downloads a 64 KiB demo image, then
# tervan-window-shot saves what the window shows: docs/window.png at 100 %,
# docs/window-200.png at 200 % (Qt's scale factor 2) and docs/window-dark.png with the dark
# palette. An argument names another folder for the three.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tervan-window-shot tervan-target-sim

bin=build/release/bin
out=${1:-docs}
work=$(mktemp -d /tmp/tervan-demo-XXXXXX)
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

awk 'BEGIN { for (i = 0; i < 65536; i++) printf "%c", 32 + (i * 7) % 95 }' >"$work/blink.bin"
printf '[setup]\ninterface=1\nmodel=0\ncom=0\nfile=%s\ntarget=0\n' "$work/blink.bin" \
    >"$work/tervan.ini"

"$bin/tervan-target-sim" --serial --root "$work" --com 1 >/dev/null &
sim_pid=$!
for _ in $(seq 1 50); do
    [ -e "$work/ports/COM1" ] && break
    sleep 0.1
done
[ -e "$work/ports/COM1" ] || { echo "screenshot: the virtual target did not start" >&2; exit 1; }

mkdir -p "$out"
shot() {
    # Each picture downloads again: the virtual target resets when the port opens.
    xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" env QT_QPA_PLATFORM=xcb "$@"
}
shot "$bin/tervan-window-shot" --root "$work" --out "$out/window.png" --download
shot env QT_SCALE_FACTOR=2 "$bin/tervan-window-shot" --root "$work" --out "$out/window-200.png" \
    --download
shot "$bin/tervan-window-shot" --root "$work" --out "$out/window-dark.png" --download --dark
echo "screenshot: wrote $out/window.png, $out/window-200.png, $out/window-dark.png"
