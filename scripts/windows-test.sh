#!/usr/bin/env bash
# The Windows step of CI: cross-builds both architectures (scripts/windows-build.sh), then runs
# the 64-bit programs under Wine (32-bit programs need a 32-bit Wine, which these machines lack:
# that build is compiled and linked only):
#   1. the test programs under CTest (platform layer, controller, frame, the window, the command
#      line's Windows parts),
#   2. tervan-cli.exe: --help, a bad option (exit 2), a missing port (exit 3), then a serial
#      download end to end: the Linux virtual target holds a pseudo-terminal that Wine makes its
#      COM5, `tervan-cli.exe --port COM5 --then reset` downloads a 256 KiB image through
#      \\.\COM5, and the flash image the target stored must equal it byte for byte; afterwards
#      --list-ports must show COM5 free and among the system's serial devices,
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

echo "== windows: tervan-cli.exe: serial download through COM5"
# The command line runs from a folder of its own, so that a settings file it wrote would show.
cli=$work/cli
mkdir -p "$cli"
cp build/mingw64/bin/tervan-cli.exe "$cli/"
# cli_run NAME ARGUMENTS...: runs tervan-cli.exe under Wine; stdout and stderr land in
# $work/NAME.out and $work/NAME.err without Windows' line ends, the exit status in cli_status.
cli_run() {
    local name=$1
    shift
    cli_status=0
    wine "$cli/tervan-cli.exe" "$@" >"$work/$name.raw" 2>"$work/$name.raw-err" || cli_status=$?
    tr -d '\r' <"$work/$name.raw" >"$work/$name.out"
    tr -d '\r' <"$work/$name.raw-err" >"$work/$name.err"
}

cli_run help --help
if [ "$cli_status" -eq 0 ] && head -n 1 "$work/help.out" | grep -q '^Usage: tervan-cli ' &&
    grep -q 'COM1 \.\.\. COM256 as Windows names them' "$work/help.out"; then
    pass "tervan-cli.exe --help prints the usage with the Windows port names, exit 0"
else
    fail "tervan-cli.exe --help: exit $cli_status; $(head -n 3 "$work/help.out" "$work/help.err")"
fi
cli_run usage --model 512 image.bin
if [ "$cli_status" -eq 2 ] && [ ! -s "$work/usage.out" ] &&
    grep -q "^Try 'tervan-cli --help'\.$" "$work/usage.err"; then
    pass "tervan-cli.exe with a bad option: exit 2 and a hint on stderr"
else
    fail "tervan-cli.exe --model 512: exit $cli_status; $(cat "$work/usage.out" "$work/usage.err")"
fi
head -c 1000 /dev/urandom >"$work/small.bin"
cli_run missing --port COM7 --json "Z:$(echo "$work/small.bin" | tr / '\\')"
if [ "$cli_status" -eq 3 ] && tail -n 1 "$work/missing.out" |
    grep -qF '"exit":3,"reason":"COM7: no such port; `tervan-cli --list-ports` shows the ports"'; then
    pass "tervan-cli.exe on a missing COM7: exit 3 with the reason"
else
    fail "tervan-cli.exe --port COM7: exit $cli_status; $(cat "$work/missing.out" "$work/missing.err")"
fi

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
# The pseudo-terminal becomes a serial port of the system, as a USB serial adapter would:
# Wine makes the ports named in its Ports key when its session starts, so restart it.
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$(readlink "$e2e/ports/COM5")" /f \
    >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p
wineboot >/dev/null 2>&1
image_windows="Z:$(echo "$e2e/image.bin" | tr / '\\')"
cli_run download --port COM5 --then reset --json "$image_windows"
result=$(tail -n 1 "$work/download.out")
if [ "$cli_status" -eq 0 ] && [[ "$result" == '{"event":"result","ok":true,"exit":0,"bytes":262144,'* ]]; then
    pass "tervan-cli.exe --port COM5 --then reset: exit 0 after 262144 bytes"
else
    fail "tervan-cli.exe --port COM5: exit $cli_status; last line: $result; $(cat "$work/download.err")"
fi
if grep -qF '{"event":"status","text":"Write successfull!"}' "$work/download.out" &&
    [ "$(ls "$cli")" = "tervan-cli.exe" ]; then
    pass "the download reported Write successfull! and wrote no file beside the program"
else
    fail "statuses: $(grep -c '"event":"status"' "$work/download.out"); beside the program: $(ls "$cli")"
fi
cli_run list --list-ports
if [ "$cli_status" -eq 0 ] && grep -qE '^  COM5 +\\\\\.\\COM5 +free$' "$work/list.out" &&
    grep -qE '^  \\\\\.\\COM5  = COM5$' "$work/list.out"; then
    pass "tervan-cli.exe --list-ports shows COM5 free and among the system's serial devices"
else
    fail "tervan-cli.exe --list-ports: exit $cli_status; $(cat "$work/list.out" "$work/list.err")"
fi
# Stop Wine before the target closes its pseudo-terminal; SIGTERM makes the target write its
# flash image.
wineserver -k 2>/dev/null || true
kill -TERM "$sim_pid" 2>/dev/null || true
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
