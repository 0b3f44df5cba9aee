#!/usr/bin/env bash
# Builds the tool and runs the window against the virtual target on COM1: the simulated
# download loader answers like a board whose reset button is pressed at once, so Connect,
# Download, Reset, Down to RAM and Run RAM all work without hardware. The simulator stops
# when the window closes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release

bin=build/release/bin
sim_pid=""
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}
trap stop_sim EXIT
trap 'exit 130' INT TERM

# Starts the virtual target on COM1 (it links build/release/bin/ports/COM1 to its
# pseudo-terminal) and waits until the port is there.
start_sim() {
    "$bin/tervan-target-sim" --serial --root "$bin" --com 1 &
    sim_pid=$!
    # The port is the target's once the link leads to a pseudo-terminal and the target still
    # runs: a link of the user's own (to a real device) makes the target give up instead.
    for _ in $(seq 1 50); do
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            sim_pid=""
            echo "run: the virtual target did not start (is $bin/ports/COM1 a link of yours?)" >&2
            exit 1
        fi
        if [[ "$(readlink "$bin/ports/COM1" 2>/dev/null)" == /dev/pts/* ]]; then
            return 0
        fi
        sleep 0.1
    done
    echo "run: the virtual target did not create $bin/ports/COM1" >&2
    exit 1
}

# A 64 KiB demo image (the same bytes every time).
demo_image() {
    local image="$bin/demo-64k.bin"
    if [ ! -f "$image" ]; then
        awk 'BEGIN { for (i = 0; i < 65536; i++) printf "%c", 32 + (i * 7) % 95 }' >"$image"
    fi
    echo "$(cd "$(dirname "$image")" && pwd)/$(basename "$image")"
}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run: no display (DISPLAY and WAYLAND_DISPLAY are empty), so the window cannot open;"
    echo "run: running the same job on the command line instead: a 64 KiB demo image written"
    echo "run: to the virtual target's flash on COM1. With a board, run:"
    echo
    echo "    $bin/tervan-cli --port COM1 IMAGE"
    echo
    image=$(demo_image)
    start_sim
    "$bin/tervan-cli" --port COM1 "$image"
    exit 0
fi

# The defaults already choose the serial port COM1; a first run also names the demo image.
# An existing settings file is the user's and stays as it is.
if [ ! -e "$bin/tervan.ini" ]; then
    printf '[setup]\ninterface=1\ncom=0\nfile=%s\n' "$(demo_image)" >"$bin/tervan.ini"
fi

start_sim
echo "run: virtual target on COM1; press Connect, then Download"
"$bin/tervan-downloader"
