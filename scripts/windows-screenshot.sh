#!/usr/bin/env bash
# Takes the picture of the Windows window for the documentation: tervan-downloader.exe from the
# 64-bit build under Wine, in a Wine desktop of its own on Xvfb (Wine draws the title bar
# there), with an image file chosen. Writes docs/window-windows.png, cropped to the window.
# Needs ImageMagick (import, convert): installed here when missing and run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ -z "${TERVAN_SCREENSHOT_DISPLAY:-}" ]; then
    scripts/bootstrap.sh
    if ! command -v import >/dev/null; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "windows-screenshot: needs ImageMagick: sudo apt-get install imagemagick" >&2
            exit 1
        fi
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            imagemagick >/dev/null
    fi
    scripts/windows-build.sh mingw64
    exec env TERVAN_SCREENSHOT_DISPLAY=1 \
        xvfb-run -a -s "-screen 0 800x480x24" "$0" "$@"
fi

work=$(mktemp -d /tmp/tervan-windows-shot.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$WINEPREFIX"
wineserver -p
wineboot -i >/dev/null 2>&1
# Wine's own fonts for the dialog font and the title bar's buttons.
fonts=$WINEPREFIX/drive_c/windows/Fonts
mkdir -p "$fonts"
for font in /usr/share/wine/fonts/*; do
    ln -sf "$font" "$fonts/"
done

# A chosen image, so that the path field and the size line show something.
mkdir -p "$WINEPREFIX/drive_c/images" "$work/app"
head -c 65536 /dev/zero >"$WINEPREFIX/drive_c/images/blinky.bin"
printf '[setup]\r\nfile=C:\\images\\blinky.bin\r\n' >"$work/app/tervan.ini"
cp build/mingw64/bin/tervan-downloader.exe "$work/app/"

# Every program of this prefix in one Wine desktop, which draws the windows' title bars. The
# desktop process reads this at its start: restart Wine.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 640x360 /f >/dev/null 2>&1
wineserver -k
wineserver -w
wineserver -p
wine "$work/app/tervan-downloader.exe" &
geometry=$(wine build/mingw64/bin/tervan-wine-close.exe --wait-only 60 | tr -d '\r')
read -r _ x y w h <<<"$geometry"
sleep 1  # let it paint
import -window root "$work/screen.png"
convert "$work/screen.png" -crop "${w}x${h}+${x}+${y}" +repage "$root/docs/window-windows.png"
echo "windows-screenshot: wrote docs/window-windows.png (${w}x${h})"
