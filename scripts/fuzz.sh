#!/usr/bin/env bash
# Builds the fuzz targets (the "fuzz" preset: clang, libFuzzer, ASan + UBSan) and runs them.
#
#   scripts/fuzz.sh                    every target for a fixed number of executions each (CI)
#   scripts/fuzz.sh TARGET [SECONDS]   a long run: one target (settings, answers,
#                                      answers_memory, frames, images) or all of them, SECONDS each
#                                      (default 600)
#
# A long run runs the targets side by side, as many at a time as there are cores (FUZZ_JOBS
# overrides the count; more targets than cores run in turns). Each keeps its inputs in
# build/fuzz/corpus/TARGET, beside the committed seeds in fuzz/corpus/TARGET. Afterwards the
# inputs that reach code the seeds do not are merged into fuzz/corpus/TARGET (review and
# commit them), an input that broke a target is minimised, and a line per target gives the
# executions, the coverage and the crashes. SECONDS of 0 only merges and reports what an
# earlier run left in build/fuzz/corpus.
#
# An input that breaks a target is written to build/fuzz/artifacts/TARGET-crash-...; run it
# again with build/fuzz/bin/fuzz_TARGET FILE.
#
# Every run builds the whole preset (all fuzz targets, and the libraries and programs under
# the same instrumentation), whichever targets it then runs, so that none of them goes stale
# unseen.
set -euo pipefail
cd "$(dirname "$0")/.."

all=(settings answers answers_memory frames images)
# Executions per target in CI, and the largest input each takes.
declare -A runs=([settings]=50000 [answers]=10000 [answers_memory]=10000 [frames]=12000
    [images]=50000)
declare -A maxlen=([settings]=8192 [answers]=1024 [answers_memory]=1024 [frames]=4097
    [images]=4096)
# Seeds a target reads besides its own: the two answers targets take the same input.
declare -A moreSeeds=([answers_memory]=fuzz/corpus/answers)

target=${1:-}
seconds=${2:-}
if [ -n "$target" ] && [ -z "$seconds" ]; then
    seconds=600
fi
if [ -z "$target" ] || [ "$target" = all ]; then
    targets=("${all[@]}")
elif [[ " ${all[*]} " == *" $target "* ]]; then
    targets=("$target")
else
    echo "fuzz: unknown target '$target' (one of: ${all[*]}, all)" >&2
    exit 2
fi
if [ -n "$seconds" ] && ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "fuzz: SECONDS must be a whole number, not '$seconds'" >&2
    exit 2
fi

echo "-- fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for t in "${all[@]}"; do
    if [ ! -x "build/fuzz/bin/fuzz_$t" ]; then
        echo "fuzz: the build made no fuzz_$t" >&2
        exit 1
    fi
done

out=build/fuzz
mkdir -p "$out/artifacts" "$out/logs"

# The last coverage figures libFuzzer printed: "cov: N ft: M".
coverage_of() {
    grep -oE 'cov: [0-9]+ ft: [0-9]+' "$1" | tail -n 1 || true
}

# Artifacts of a target that stand for a fault (slow units do not).
faults_of() {
    find "$out/artifacts" -maxdepth 1 -type f \( -name "$1-crash-*" -o -name "$1-leak-*" \
        -o -name "$1-timeout-*" -o -name "$1-oom-*" \) | sort
}

if [ -z "$seconds" ]; then
    # CI: a fresh corpus and a fixed seed, so that each run does the same executions.
    passed=0
    failed=0
    total_runs=0
    for t in "${targets[@]}"; do
        work=$out/ci-corpus/$t
        rm -rf "$work"
        mkdir -p "$work"
        log=$out/logs/$t.log
        before=$(find "$out/artifacts" -name "$t-*" | wc -l)
        started=$(date +%s)
        extra=()
        [ -n "${moreSeeds[$t]:-}" ] && extra=("${moreSeeds[$t]}")
        if "$out/bin/fuzz_$t" -runs="${runs[$t]}" -seed=1 -max_len="${maxlen[$t]}" -timeout=30 \
            -artifact_prefix="$out/artifacts/$t-" -print_final_stats=1 "$work" "fuzz/corpus/$t" \
            "${extra[@]}" >"$log" 2>&1; then
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
            grep -E "check failed|ERROR:|SUMMARY:|^ *#[0-9]+ .* in |Test unit written" "$log" |
                head -n 40
        fi
    done
    echo "   $total_runs executions in all"
    echo "fuzz: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
fi

# ---- a long run ----

# A long run often shares the machine at a low priority: an input that takes a fraction of a
# second alone can wait half a minute for a CPU. Only one that goes on for minutes hangs.
timeout=120
jobs=${FUZZ_JOBS:-$(nproc)}
[ "$jobs" -ge 1 ] || jobs=1
[ "$jobs" -le "${#targets[@]}" ] || jobs=${#targets[@]}
mkdir -p "$out/summary"

# Fuzzes one target, merges its new inputs into the seeds, minimises its new crashes and
# writes its report line to $out/summary/TARGET.
long_run() {
    local t=$1
    local bin=$out/bin/fuzz_$t
    local seeds=fuzz/corpus/$t
    local work=$out/corpus/$t
    local log=$out/logs/$t.log
    local extra=()
    [ -n "${moreSeeds[$t]:-}" ] && extra=("${moreSeeds[$t]}")
    mkdir -p "$seeds" "$work"
    local before
    before=$(faults_of "$t")

    local done_runs=0 rc=0
    if [ "$seconds" -gt 0 ]; then
        # A fault stops libFuzzer; the run goes on from the corpus so far until its time is up.
        local started=$SECONDS left=$seconds
        : >"$log"
        while [ "$left" -gt 0 ]; do
            rc=0
            "$bin" -max_total_time="$left" -max_len="${maxlen[$t]}" -timeout="$timeout" \
                -artifact_prefix="$out/artifacts/$t-" -print_final_stats=1 \
                "$work" "$seeds" "${extra[@]}" >"$log.part" 2>&1 || rc=$?
            cat "$log.part" >>"$log"
            local n
            n=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log.part" | tail -n 1)
            rm -f "$log.part"
            done_runs=$((done_runs + ${n:-0}))
            # A fault that writes no input (or one that comes back at once) ends the run.
            if [ "$rc" -eq 0 ] || [ "$(faults_of "$t")" = "$before" ]; then
                break
            fi
            before=$(faults_of "$t")
            left=$((seconds - (SECONDS - started)))
        done
    fi

    # The inputs that reach code the seeds do not (edges, not hit counts: a modest set).
    local seeded merged=0
    seeded=$(find "$seeds" -type f | wc -l)
    "$bin" -merge=1 -use_counters=0 -max_len="${maxlen[$t]}" -timeout=30 \
        -artifact_prefix="$out/artifacts/$t-merge-" "$seeds" "$work" >"$out/logs/$t-merge.log" 2>&1 ||
        echo "   $t: the merge failed, see $out/logs/$t-merge.log" >&2
    merged=$(($(find "$seeds" -type f | wc -l) - seeded))

    # Every fault of this run, minimised beside the original when it breaks the target again.
    local crashes=0 minimised=()
    local fault
    for fault in $(comm -13 <(echo "$before" | sort) <(faults_of "$t")); do
        crashes=$((crashes + 1))
        case "$fault" in
            *-crash-* | *-leak-*)
                if "$bin" -minimize_crash=1 -max_total_time=120 -timeout=30 \
                    -exact_artifact_path="$fault.min" "$fault" >"$out/logs/$t-minimise.log" 2>&1 ||
                    [ -s "$fault.min" ]; then
                    minimised+=("$fault.min")
                else
                    minimised+=("$fault (does not break the target again)")
                fi
                ;;
            *) minimised+=("$fault") ;;
        esac
    done
    [ "$crashes" -eq 0 ] && [ "$rc" -ne 0 ] && crashes=1  # a fault that wrote no input

    {
        if [ "$seconds" -gt 0 ]; then
            echo "   $t: $done_runs executions, $(coverage_of "$log"), $crashes crashes;" \
                "corpus $(find "$work" -type f | wc -l) inputs, $merged merged into $seeds" \
                "(log $log)"
        else
            echo "   $t: corpus $(find "$work" -type f | wc -l) inputs, $merged merged into $seeds"
        fi
        local m
        for m in "${minimised[@]}"; do
            echo "      crash: $m"
        done
    } >"$out/summary/$t"
    [ "$crashes" -eq 0 ]
}

echo "-- fuzz: ${targets[*]} for $seconds s each, $jobs at a time"
declare -A pids=()
failed=0
for t in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    rm -f "$out/summary/$t"
    long_run "$t" &
    pids[$t]=$!
done
for t in "${targets[@]}"; do
    wait "${pids[$t]}" || failed=$((failed + 1))
    cat "$out/summary/$t" 2>/dev/null || echo "   $t: no report (see $out/logs/$t.log)"
done
echo "fuzz: $((${#targets[@]} - failed)) without crashes, $failed with crashes"
[ "$failed" -eq 0 ]
