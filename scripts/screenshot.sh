#!/usr/bin/env bash
# Takes the picture of the window shown in the README (docs/window.png): under a virtual X
# display (Xvfb) the window connects to the virtual target on COM1 and downloads a 64 KiB
# demo image, then tervan-window-shot saves what the window shows.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tervan-window-shot tervan-target-sim

bin=build/release/bin
out=${1:-docs/window.png}
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

mkdir -p "$(dirname "$out")"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
    "$bin/tervan-window-shot" --root "$work" --out "$out" --download
echo "screenshot: wrote $out"
