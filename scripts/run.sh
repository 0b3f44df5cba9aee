#!/usr/bin/env bash
# Builds the tool and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release
echo "run: built $(ls build/release/bin | tr '\n' ' ')"
