#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run. Safe to run again:
# it installs only what is missing.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
    xvfb xauth
    # The window's tests under a real X server with the accessibility bus (tests/gui).
    libxcb1-dev dbus at-spi2-core
    clang-format
    # Fuzzing (scripts/fuzz.sh) and memcheck (scripts/valgrind.sh).
    clang-14 libclang-rt-14-dev valgrind
    # The Windows build (scripts/windows-build.sh) and its tests under Wine.
    mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest
    wine wine64 fonts-wine
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "bootstrap: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: these Debian packages are missing and installing them needs root." >&2
    echo "bootstrap: run:  sudo $0" >&2
    echo "bootstrap: or:   sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "bootstrap: done"
