#!/usr/bin/env bash
# Runs the end-to-end and reliability tests under Valgrind's memcheck, on a plain debug build
# (no sanitizers): any memory error or leak fails the run. Nothing is suppressed.
#
#   scripts/valgrind.sh              the debug preset's build (configured and built first)
#   scripts/valgrind.sh BUILD_DIR    an existing debug build without sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-}
if [ -z "$build" ]; then
    build=build/debug
    cmake --preset debug >/dev/null
    cmake --build --preset debug --target end_to_end_tests reliability_tests
fi
if ! command -v valgrind >/dev/null; then
    echo "valgrind: not installed (scripts/bootstrap.sh installs it)" >&2
    exit 1
fi

logs=$build/valgrind
mkdir -p "$logs"
passed=0
failed=0
for program in end_to_end_tests reliability_tests; do
    log=$logs/$program.log
    echo "-- valgrind $program (log: $log)"
    started=$(date +%s)
    # Leaks of every kind count as errors. The tests' forked writers stay silent: what they
    # leave at _exit is not this program's leak, and the parent checks their work.
    if valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
        --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible \
        --child-silent-after-fork=yes --fair-sched=yes --num-callers=30 \
        --log-file="$log" "$build/bin/$program" --gtest_brief=1; then
        rc=0
    else
        rc=$?
    fi
    summary=$(grep -h "ERROR SUMMARY" "$log" | tail -n 1 | sed 's/^==[0-9]*== //')
    echo "   $program: exit $rc, $((  $(date +%s) - started )) s, $summary"
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        # The report: errors and leaks with their stacks.
        grep -v "^==[0-9]*== *$" "$log" | sed -n '/ERROR SUMMARY\|Invalid\|uninitialised\|definitely\|indirectly\|possibly\|Syscall param/,+12p' | head -n 80
    fi
done
echo "valgrind: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
