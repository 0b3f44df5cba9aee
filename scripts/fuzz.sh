#!/usr/bin/env bash
# Builds the fuzz targets (the "fuzz" preset: clang, libFuzzer, ASan + UBSan) and runs them.
#
#   scripts/fuzz.sh                      every target for a fixed number of executions (CI)
#   scripts/fuzz.sh TARGET [SECONDS]     one target (settings, answers, frames or all) for
#                                        SECONDS each (default 600), keeping what it finds
#
# A long run keeps its inputs in build/fuzz/corpus/TARGET, beside the committed seeds in
# fuzz/corpus/TARGET. An input that breaks a target is written to build/fuzz/artifacts/; run
# it again with build/fuzz/bin/fuzz_TARGET FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

all=(settings answers frames)
# Executions per target in CI, and the largest input each takes.
declare -A runs=([settings]=50000 [answers]=10000 [frames]=12000)
declare -A maxlen=([settings]=8192 [answers]=1024 [frames]=4097)

target=${1:-all}
seconds=${2:-}
if [ $# -ge 1 ] && [ -z "$seconds" ]; then
    seconds=600
fi
if [ "$target" = all ]; then
    targets=("${all[@]}")
elif [[ " ${all[*]} " == *" $target "* ]]; then
    targets=("$target")
else
    echo "fuzz: unknown target '$target' (one of: ${all[*]}, all)" >&2
    exit 2
fi

echo "-- fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz
mkdir -p "$out/artifacts" "$out/logs"
passed=0
failed=0
total_runs=0
for t in "${targets[@]}"; do
    seeds=fuzz/corpus/$t
    if [ -n "$seconds" ]; then
        work=$out/corpus/$t
        limit=(-max_total_time="$seconds")
    else
        # A fresh corpus and a fixed seed, so that CI runs the same executions each time.
        work=$out/ci-corpus/$t
        rm -rf "$work"
        limit=(-runs="${runs[$t]}" -seed=1)
    fi
    mkdir -p "$work"
    log=$out/logs/$t.log
    before=$(find "$out/artifacts" -name "$t-*" | wc -l)
    started=$(date +%s)
    if "$out/bin/fuzz_$t" "${limit[@]}" -max_len="${maxlen[$t]}" -timeout=30 \
        -artifact_prefix="$out/artifacts/$t-" -print_final_stats=1 "$work" "$seeds" \
        >"$log" 2>&1; then
        rc=0
    else
        rc=$?
    fi
    done_runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
    done_runs=${done_runs:-0}
    crashes=$(($(find "$out/artifacts" -name "$t-*" | wc -l) - before))
    total_runs=$((total_runs + done_runs))
    echo "   $t: $done_runs executions in $(($(date +%s) - started)) s, $crashes crashes" \
        "(corpus $(find "$work" -type f | wc -l) inputs, log $log)"
    if [ "$rc" -eq 0 ] && [ "$crashes" -eq 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        grep -E "check failed|ERROR:|SUMMARY:|^ *#[0-9]+ .* in |Test unit written" "$log" | head -n 40
    fi
done
echo "   $total_runs executions in all"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
