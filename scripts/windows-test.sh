#!/usr/bin/env bash
# The Windows step of CI: cross-builds both architectures (scripts/windows-build.sh), then runs
# the 64-bit programs under Wine (32-bit programs need a 32-bit Wine, which these machines lack:
# that build is compiled and linked only):
#   1. the test programs under CTest (platform layer, controller, frame, the window),
#   2. a serial download end to end: the Linux virtual target holds a pseudo-terminal that Wine
#      knows as COM5, tervan-wine-download.exe downloads a 256 KiB image through \\.\COM5, and
#      the flash image the target stored must equal it byte for byte,
#   3. tervan-downloader.exe itself: it must show its window and end when the window is closed.
# Everything runs in a Wine prefix of its own in a temporary folder, under one Xvfb display.
# The last line counts the results: "windows: N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."

# One virtual display for the whole step: Wine's desktop process keeps the display it first saw.
if [ -z "${TERVAN_WINDOWS_TEST_DISPLAY:-}" ]; then
    scripts/bootstrap.sh
    exec env TERVAN_WINDOWS_TEST_DISPLAY=1 \
        xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

started=$(date +%s)
elapsed() { echo "$(($(date +%s) - started)) s"; }

scripts/windows-build.sh mingw32 mingw64
echo "== windows: both architectures built after $(elapsed)"

# The virtual target comes from the Linux debug build (TERVAN_SIM names another one).
sim=${TERVAN_SIM:-build/debug/bin/tervan-target-sim}
if [ -z "${TERVAN_SIM:-}" ]; then
    cmake --preset debug >/dev/null
    cmake --build --preset debug --target tervan-target-sim
fi

work=$(mktemp -d /tmp/tervan-windows-test.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
sim_pid=""
cleanup() {
    # wineserver first: a pseudo-terminal that closes under a running wineserver makes it
    # flood stderr.
    wineserver -k 2>/dev/null || true
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "== windows: Wine prefix"
mkdir -p "$WINEPREFIX"
wineserver -p  # stays up between the programs: each start costs far less
# Wine's background processes start with the session; started by a test instead, they would
# hold CTest's output pipe open until the time-out.
wineboot -i >/dev/null 2>&1
passed=0
failed=0
# pass|fail TEXT: one result of the step.
pass() {
    echo "ok   $1"
    passed=$((passed + 1))
}
fail() {
    echo "FAIL $1" >&2
    failed=$((failed + 1))
}

echo "== windows: tests under Wine"
ctest --preset mingw64 2>&1 | tee "$work/ctest.log" || true
read -r ctest_failed ctest_total < <(sed -nE \
    's/.* tests passed, ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' "$work/ctest.log") || true
if [ -z "${ctest_total:-}" ]; then
    fail "CTest gave no summary"
else
    passed=$((passed + ctest_total - ctest_failed))
    failed=$((failed + ctest_failed))
fi
echo "== windows: tests done after $(elapsed)"

echo "== windows: serial download through COM5"
e2e=$work/e2e
mkdir -p "$e2e"
head -c 262144 /dev/urandom >"$e2e/image.bin"
"$sim" --root "$e2e" --com 5 --flash-out "$e2e/flash.bin" --log "$e2e/target.jsonl" \
    >"$e2e/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
    [ -L "$e2e/ports/COM5" ] && break
    sleep 0.1
done
if [ ! -L "$e2e/ports/COM5" ]; then
    echo "windows-test: the virtual target did not start" >&2
    cat "$e2e/sim.out" >&2
    exit 1
fi
ln -sfn "$(readlink "$e2e/ports/COM5")" "$WINEPREFIX/dosdevices/com5"
image_windows="Z:$(echo "$e2e/image.bin" | tr / '\\')"
download_status=0
wine build/mingw64/bin/tervan-wine-download.exe "$image_windows" 5 | tr -d '\r' |
    tee "$e2e/steps.log" || download_status=$?
passed=$((passed + $(grep -c '^ok ' "$e2e/steps.log" || true)))
failed=$((failed + $(grep -c '^FAIL ' "$e2e/steps.log" || true)))
[ "$download_status" -eq 0 ] || fail "tervan-wine-download.exe ended with status $download_status"
# Stop Wine before the target closes its pseudo-terminal; SIGTERM makes the target write its
# flash image.
wineserver -k 2>/dev/null || true
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
if cmp -s "$e2e/image.bin" "$e2e/flash.bin"; then
    pass "the target's flash equals the image, byte for byte"
else
    fail "the target's flash differs from the image"
fi
frames=$(grep -c '"event":"frame","number":[0-9]*,"transmission":1,"command":"W".*"crc_ok":true' \
    "$e2e/target.jsonl" || true)
last=$(grep '"event":"frame"' "$e2e/target.jsonl" | tail -n 1)
if [ "$frames" -eq 1024 ] && [[ "$last" == *'"command":"R"'* ]]; then
    pass "1024 write frames, each sent once with a good CRC, then the reset frame"
else
    fail "the target's log shows $frames good write frames; last frame: $last"
fi
echo "== windows: serial download done after $(elapsed)"

echo "== windows: the program's window opens and closes"
wineserver -p
app=$work/app
mkdir -p "$app"
cp build/mingw64/bin/tervan-downloader.exe "$app/"
wine "$app/tervan-downloader.exe" &
app_pid=$!
if wine build/mingw64/bin/tervan-wine-close.exe 60; then
    app_status=0
    for _ in $(seq 100); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$app_pid" 2>/dev/null; then
        fail "tervan-downloader.exe did not end when its window was closed"
        kill "$app_pid" 2>/dev/null || true
    else
        wait "$app_pid" || app_status=$?
        if [ "$app_status" -eq 0 ] && [ ! -e "$app/tervan.ini" ]; then
            pass "the window came up and closed; no setting was written"
        else
            fail "exit status $app_status; files beside the program: $(ls "$app")"
        fi
    fi
else
    fail "tervan-downloader.exe showed no window"
    kill "$app_pid" 2>/dev/null || true
fi

echo "== windows: finished after $(elapsed)"
echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
