#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run, and the packages
# named as arguments (scripts/package.sh names its tools). Safe to run again: it installs only
# what is missing.
#
#   scripts/bootstrap.sh [PACKAGE...]
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
    # The Windows build (scripts/windows-build.sh) and its tests under Wine: wine64 runs the
    # 64-bit programs, wine32 (of the i386 architecture, added below) the 32-bit ones.
    mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest
    wine wine64 fonts-wine
    # The USB link on Linux, and its tests against an emulated device (tests/usb).
    libusb-1.0-0-dev umockdev libumockdev-dev
    "$@"
)
# wine32 only where the kernel runs 32-bit programs: elsewhere it cannot start, and Debian's
# `wine` would pick it for every program, 64-bit ones included, which would then fail too.
no_wine32=""
if "$(dirname "$0")/kernel-runs-32-bit.sh"; then
    packages+=(wine32:i386)
elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    no_wine32="bootstrap: this kernel runs no 32-bit programs (IA-32 emulation is off; the kernel \
option ia32_emulation=on turns it on): wine32 is left out, and the 32-bit Windows programs are \
built but not run"
else
    echo "bootstrap: wine32 is installed but this kernel runs no 32-bit programs: Debian's" \
        "wine then fails for 64-bit programs too; remove it (apt-get remove wine32:i386)" >&2
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

# Packages of the i386 architecture install only once dpkg knows it, and apt-get update has
# to come after that to fetch its package lists.
add_i386=false
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    add_i386=true
fi

echo "bootstrap: installing ${missing[*]}"
if [ -n "$no_wine32" ]; then
    echo "$no_wine32" >&2
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: these Debian packages are missing and installing them needs root." >&2
    echo "bootstrap: run:  sudo $0 $*" >&2
    if [ "$add_i386" = true ]; then
        echo "bootstrap: or:   sudo dpkg --add-architecture i386 && sudo apt-get update &&" >&2
        echo "bootstrap:       sudo apt-get install ${missing[*]}" >&2
    else
        echo "bootstrap: or:   sudo apt-get update && sudo apt-get install ${missing[*]}" >&2
    fi
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ "$add_i386" = true ]; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "bootstrap: done"
