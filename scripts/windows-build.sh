#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64: the 32-bit build (build/mingw32, the
# reference platform) and the 64-bit build (build/mingw64, whose tests run under Wine). Both are
# built warning-free: a warning fails the build. The programs are static .exe files that need
# no DLL beside them:
#   build/mingw32/bin/tervan-downloader.exe, build/mingw64/bin/tervan-downloader.exe (the window)
#   build/mingw32/bin/tervan-cli.exe, build/mingw64/bin/tervan-cli.exe (the command line)
# and the test programs beside them.
#
#   scripts/windows-build.sh [mingw32] [mingw64]     (both when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
    presets=(mingw32 mingw64)
fi
for preset in "${presets[@]}"; do
    echo "== $preset: configure and build"
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build --preset "$preset"
done
