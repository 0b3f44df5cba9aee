#!/usr/bin/env bash
# Builds what a user installs, into dist/:
#   tervan-downloader_VERSION_ARCH.deb    the Linux programs for /usr/bin with the menu entry,
#                                          the icons, a manual page for each program and the
#                                          bash completion of tervan-cli; its dependencies are
#                                          computed from the libraries the programs link
#   tervan-downloader-VERSION-win32.zip   tervan-downloader.exe and tervan-cli.exe for 32-bit
#   tervan-downloader-VERSION-win64.zip   and for 64-bit Windows, with a note on the settings
# The Debian package must pass lintian without an error. The Linux programs are a release
# build of their own in build/package (with the distribution's hardening flags); the Windows
# ones come from scripts/windows-build.sh.
#
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh help2man lintian zip

version=$(sed -nE 's/^project\(tervan VERSION ([0-9.]+) .*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
name=tervan-downloader
maintainer=${TERVAN_MAINTAINER:-"TERVAN Downloader developers <tervan-downloader@example.org>"}
deb=dist/${name}_${version}_${arch}.deb
work=$(mktemp -d /tmp/tervan-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p dist
dist=$PWD/dist
rm -f "$deb" "dist/$name-$version-win32.zip" "dist/$name-$version-win64.zip"

echo "== package: Linux release build"
# Debian's hardening flags, all of them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTERVAN_BUILD_TESTS=OFF -DTERVAN_BUILD_BENCH=OFF -DTERVAN_BUILD_MAN=ON \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build/package

echo "== package: $deb"
# The package's tree where dpkg-shlibdeps expects it, below a source tree's debian/.
root=$work/source/debian/$name
mkdir -p "$root"
DESTDIR=$root cmake --install build/package >/dev/null
chmod 0755 "$root"
for program in "$root"/usr/bin/*; do
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$program"
done
gzip -9n "$root"/usr/share/man/man1/*.1
doc=$root/usr/share/doc/$name
mkdir -p "$doc"
# Dates from the last commit, so that the same sources give the same package.
committed=$(git log -1 --format=%ct 2>/dev/null || date +%s)
cat >"$doc/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: TERVAN Downloader

Files: *
Copyright: $(date -u -d "@$committed" +%Y) the TERVAN Downloader developers
License: not-stated
 The project states no license; the rights remain with its developers.
EOF
# A native package: its changelog is the project's own.
when=$(date -u -R -d "@$committed")
printf '%s (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
    "$name" "$version" "$version" "$maintainer" "$when" | gzip -9n >"$doc/changelog.gz"
chmod 0644 "$doc/copyright" "$doc/changelog.gz"

# The packages of the shared libraries the programs link, from the system's own records.
mkdir -p "$root/DEBIAN"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$name" "$name" \
    >"$work/source/debian/control"
depends=$(cd "$work/source" && dpkg-shlibdeps -O "debian/$name"/usr/bin/* |
    sed -n 's/^shlibs:Depends=//p')
if [ -z "$depends" ]; then
    echo "package: dpkg-shlibdeps found no dependencies" >&2
    exit 1
fi

(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
cat >"$root/DEBIAN/control" <<EOF
Package: $name
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
Section: electronics
Priority: optional
Description: write firmware into AT91SAM7S microcontrollers
 TERVAN Downloader writes a raw firmware image (a .bin of at most 256 KiB)
 into an Atmel AT91SAM7S microcontroller through the download loader on the
 chip, over a serial port or the target's USB pipes.
 .
 tervan-downloader is the window, tervan-cli the same for scripts and build
 pipelines, and tervan-target-sim a virtual target to try both without a
 board. The settings of an installed copy live in ~/.config/tervan.
EOF
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print "  " $1, $6 }'
echo "== package: lintian"
lintian --fail-on error --display-level '>=warning' "$deb"
echo "lintian: no error"

echo "== package: Windows zips"
scripts/windows-build.sh mingw32 mingw64
for bits in 32 64; do
    case $bits in
    32) triple=i686-w64-mingw32 ;;
    64) triple=x86_64-w64-mingw32 ;;
    esac
    folder=$name-$version-win$bits
    mkdir -p "$work/$folder"
    for program in tervan-downloader.exe tervan-cli.exe; do
        "$triple-strip" -o "$work/$folder/$program" "build/mingw$bits/bin/$program"
    done
    sed 's/$/\r/' >"$work/$folder/README.txt" <<EOF
TERVAN Downloader $version for Windows ($bits-bit)

tervan-downloader.exe  the window: writes a firmware image (a .bin of at most
                       256 KiB) into an AT91SAM7S through its download loader
tervan-cli.exe         the same for scripts; tervan-cli --help lists its options

Both are single programs that need nothing else: there is nothing to install.

Where the settings live: this copy is portable. The window keeps your choices
in tervan.ini beside the programs, in this folder, made when a choice first
changes; tervan-cli reads them from there and never changes them. Keep the
folder where you may write (your documents, a USB stick): in a folder you may
not write, such as Program Files, a choice holds only until the program ends.
To start afresh, delete tervan.ini.
EOF
    (cd "$work" && zip -qrX "$dist/$folder.zip" "$folder")
    echo "dist/$folder.zip:"
    unzip -l "dist/$folder.zip" | sed -n 's/^ *\([0-9]\+\) .* \([^ ]*[^/]\)$/  \2  \1 bytes/p' |
        grep -v ' files  '
done
echo "== package: done"
ls -l dist
