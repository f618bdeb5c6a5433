#!/usr/bin/env bash
# Runs a Windows test program under Wine on a virtual display at a given dpi, and turns the
# screenshots it saves (NAME.bmp in VARNEL_SHOT_DIR) into PNG files, listed at the end.
# Usage: on_display.sh DPI SHOT_DIR command [args...]   (a command ending in .exe runs under wine)
# Xvfb has no window manager: Wine draws the title bars itself (X11 driver, Decorated=N).
set -euo pipefail
source "$(dirname "$0")/../win32/wine_loaders.sh"
export WINE64
dpi=$1 shots=$2
shift 2
[[ $1 == *.exe ]] && set -- "$WINE64" "$@"
mkdir -p "$shots"
rm -f "$shots"/*.bmp
export VARNEL_SHOT_DIR="Z:$shots" VARNEL_DPI=$dpi

# Wine's own fonts (MS Sans Serif, Tahoma) into the prefix's font folder, where a Windows
# machine has them: Debian's Wine does not load them from its data folder, and the substitute
# font is wider than the layouts are made for.
fonts=${WINEPREFIX:-$HOME/.wine}/drive_c/windows/Fonts
for font in /usr/share/wine/fonts/*; do
    [[ -e $fonts/${font##*/} ]] || cp "$font" "$fonts/"
done

# A server started without a display would keep the windows of this run off the virtual one.
timeout 60 wineserver -k >/dev/null 2>&1 || true
timeout 60 wineserver -w >/dev/null 2>&1 || true

run() {
    set -uo pipefail
    local reg='HKCU\Control Panel\Desktop'
    timeout 60 "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
    timeout 60 "$WINE64" reg add "$reg" /v LogPixels /t REG_DWORD /d "$VARNEL_DPI" /f >/dev/null 2>&1
    # The dpi is read when the server starts.
    timeout 60 wineserver -k >/dev/null 2>&1; timeout 60 wineserver -w >/dev/null 2>&1
    timeout 600 "$@"
    local rc=$?
    timeout 60 "$WINE64" reg add "$reg" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
    timeout 60 wineserver -k >/dev/null 2>&1; timeout 60 wineserver -w >/dev/null 2>&1
    return $rc
}
rc=0
# xvfb-run is a dash script, which drops exported functions: the function goes as text.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c "$(declare -f run); run \"\$@\"" run "$@" || rc=$?

# The quiet server the other Wine tests of the run expect (scripts/test.sh starts one).
wineserver -p10 >/dev/null 2>&1 || true

for bmp in "$shots"/*.bmp; do
    [[ -e $bmp ]] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
    echo "screenshot: ${bmp%.bmp}.png"
done
exit $rc
