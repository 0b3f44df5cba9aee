#!/usr/bin/env bash
# The Windows step of CI: cross-builds both architectures (scripts/windows-build.sh), then runs
# the programs of each under Wine, the 32-bit ones (the reference platform) first:
#   0. tervan-cli.exe --help must print the usage before anything else of that architecture
#      counts: a Wine that cannot run it exits 0 and prints nothing, which must not pass.
#      Where the kernel runs no 32-bit programs at all (scripts/kernel-runs-32-bit.sh), the
#      32-bit line says so and counts one skipped,
#   1. the test programs under CTest (platform layer, controller, frame, the window, the command
#      line's Windows parts), each judged by GoogleTest's result lines and its exit status,
#   2. tervan-cli.exe: a bad option (exit 2), a missing port (exit 3), then a serial
#      download end to end: the Linux virtual target holds a pseudo-terminal that Wine makes its
#      COM5, `tervan-cli.exe --port COM5 --then reset` downloads a 256 KiB image through
#      \\.\COM5, and the flash image the target stored must equal it byte for byte; afterwards
#      --list-ports must show COM5 free and among the system's serial devices,
#   3. tervan-downloader.exe itself: it must show its window and end when the window is closed.
# Everything runs in one Wine prefix made for the run in a temporary folder (WINEARCH unset: a
# 64-bit prefix runs both architectures; a prefix made before the 32-bit Wine was installed
# cannot run 32-bit programs), under one Xvfb display. One line per architecture counts its
# results, "windows 32-bit: N passed, N failed" and "windows 64-bit: …"; the last line adds
# them up: "windows: N passed, N failed".
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
unset WINEARCH
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
echo "== windows: Wine prefix made after $(elapsed)"
passed=0
failed=0
summary=""
# pass|fail TEXT: one result of the architecture being tested ($bits).
pass() {
    echo "ok   $bits-bit: $1"
    passed=$((passed + 1))
}
fail() {
    echo "FAIL $bits-bit: $1" >&2
    failed=$((failed + 1))
}

# cli_run NAME ARGUMENTS...: runs $cli/tervan-cli.exe under Wine; stdout and stderr land in
# $work/NAME.out and $work/NAME.err without Windows' line ends, the exit status in cli_status.
cli_run() {
    local name=$1
    shift
    cli_status=0
    wine "$cli/tervan-cli.exe" "$@" >"$work/$name.raw" 2>"$work/$name.raw-err" || cli_status=$?
    tr -d '\r' <"$work/$name.raw" >"$work/$name.out"
    tr -d '\r' <"$work/$name.raw-err" >"$work/$name.err"
}

# test_arch BITS: every check for the programs in build/mingwBITS.
test_arch() {
    bits=$1
    local bin=build/mingw$1/bin arch_started before_passed=$passed before_failed=$failed
    arch_started=$(date +%s)
    if [ "$bits" = 32 ] && ! scripts/kernel-runs-32-bit.sh; then
        echo "== windows 32-bit: not run: this machine's kernel runs no 32-bit programs (IA-32"
        echo "   emulation is off; the kernel option ia32_emulation=on turns it on), so no 32-bit"
        echo "   Wine can start here; the 32-bit programs were built and linked only"
        arch_summary "$before_passed" "$before_failed" "$arch_started" ", 1 skipped"
        return
    fi
    # The session's background processes, again after a step that ended the server (a server
    # that still runs makes `wineserver -p` fail, and is kept).
    wineserver -p 2>/dev/null || true
    wineboot >/dev/null 2>&1

    # The command line runs from a folder of its own, so that a settings file it wrote would
    # show.
    cli=$work/cli$bits
    mkdir -p "$cli"
    cp "$bin/tervan-cli.exe" "$cli/"

    echo "== windows $bits-bit: does Wine run the programs?"
    cli_run help --help
    if [ "$cli_status" -eq 0 ] && head -n 1 "$work/help.out" | grep -q '^Usage: tervan-cli ' &&
        grep -q 'COM1 \.\.\. COM256 as Windows names them' "$work/help.out"; then
        pass "tervan-cli.exe --help prints the usage with the Windows port names, exit 0"
    else
        fail "tervan-cli.exe --help printed no usage (exit $cli_status): Wine does not run \
$bits-bit programs here (the 32-bit ones need Debian's wine32:i386 and a prefix made after \
it was installed); nothing else of this architecture was run. $(head -n 3 "$work/help.out" \
"$work/help.err")"
        arch_summary "$before_passed" "$before_failed" "$arch_started"
        return
    fi

    echo "== windows $bits-bit: tests under Wine"
    local ctest_failed="" ctest_total=""
    ctest --preset "mingw$bits" 2>&1 | tee "$work/ctest.log" || true
    read -r ctest_failed ctest_total < <(sed -nE \
        's/.* tests passed, ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' "$work/ctest.log") || true
    if [ -z "${ctest_total:-}" ]; then
        fail "CTest gave no summary"
    else
        passed=$((passed + ctest_total - ctest_failed))
        failed=$((failed + ctest_failed))
    fi

    echo "== windows $bits-bit: tervan-cli.exe: serial download through COM5"
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

    local e2e=$work/e2e$bits
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
    local image_windows result frames last
    image_windows="Z:$(echo "$e2e/image.bin" | tr / '\\')"
    cli_run download --port COM5 --then reset --json "$image_windows"
    result=$(tail -n 1 "$work/download.out")
    if [ "$cli_status" -eq 0 ] && [[ "$result" == '{"event":"result","port":"COM5","board":1,"ok":true,"exit":0,"bytes":262144,'* ]]; then
        pass "tervan-cli.exe --port COM5 --then reset: exit 0 after 262144 bytes"
    else
        fail "tervan-cli.exe --port COM5: exit $cli_status; last line: $result; $(cat "$work/download.err")"
    fi
    if grep -qF '{"event":"status","port":"COM5","text":"Write successfull!"}' "$work/download.out" &&
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
    # Stop Wine before the target closes its pseudo-terminal; SIGTERM makes the target write
    # its flash image.
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

    echo "== windows $bits-bit: the program's window opens and closes"
    wineserver -p
    local app=$work/app$bits app_pid app_status
    mkdir -p "$app"
    cp "$bin/tervan-downloader.exe" "$app/"
    wine "$app/tervan-downloader.exe" &
    app_pid=$!
    if wine "$bin/tervan-wine-close.exe" 60; then
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
    arch_summary "$before_passed" "$before_failed" "$arch_started"
}

# arch_summary PASSED FAILED STARTED [SUFFIX]: the counts of $bits since PASSED and FAILED, kept
# for the end of the output.
arch_summary() {
    local line
    line="windows $bits-bit: $((passed - $1)) passed, $((failed - $2)) failed${4:-}"
    echo "== $line, in $(($(date +%s) - $3)) s"
    summary+=$line$'\n'
}

test_arch 32
test_arch 64

echo "== windows: finished after $(elapsed)"
printf '%s' "$summary"
echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
