#!/usr/bin/env bash
# Builds the release preset and runs every benchmark program (build/release/bin/tervan-bench-*).
# Benchmarks report figures; they never fail, so neither does this script once the build is done.
# One part alone: run the program itself, e.g. build/release/bin/tervan-bench-wire host.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release

shopt -s nullglob
programs=(build/release/bin/tervan-bench-*)
if [ ${#programs[@]} -eq 0 ]; then
    echo "bench: no benchmark programs were built" >&2
    exit 0
fi
for program in "${programs[@]}"; do
    echo "== $(basename "$program")"
    "$program" || echo "bench: $(basename "$program") ended with status $?"
done
