#!/usr/bin/env bash
# take_shot.sh BUILD OUT.png
# The picture of the station window on Windows for the README: four simulated boards of
# BUILD/host linked as COM21 to COM24 of BUILD's Wine prefix (the one on COM23 refusing a
# block), the window started on them in a Wine virtual desktop the size of a fixture PC's
# screen, which draws its caption and frame as Windows would. Each board stays on its fixture,
# so every panel shows its verdict. Needs ./test --windows to have built BUILD. With
# TARVIK_WINE_HELD=1 (ctest's wine fixture holds the prefix's server) it neither starts nor
# ends Wine.
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$build/station-shot
shot=$work/shot.bmp
# The virtual desktop, pixels: a fixture PC's screen.
desktop=1366x768
# Long enough for the picture to be taken while every board is still on.
stay=120

if [[ ${TARVIK_WINE_HELD:-0} != 1 ]]; then
    "$root/scripts/windows.sh" wine-start "$build"
    trap '"$root/scripts/windows.sh" wine-stop "$build"' EXIT
fi
mkdir -p "$work"
rm -f "$shot"
python3 -c 'import sys; b = bytearray((i * 7 + 3) & 0xFF for i in range(24576)); b[1:4] = b"IO-"; open(sys.argv[1], "wb").write(b)' \
    "$work/relay_v2.bin"
windows() { echo "Z:$1" | tr / '\\'; }
rm -f "$work/boards.csv"
"$here/with_boards.sh" "$build/host/sim/tarvik-sim" "$build/wine-prefix/dosdevices" "$work/boards" \
    "com21:--pace --stay $stay" "com22:--pace --stay $stay" \
    "com23:--pace --stay $stay --fail 27@40" "com24:--pace --stay $stay" -- \
    "$build/wine-run" explorer "/desktop=tarvik-station-shot,$desktop" \
    "$build/tests/station_window_win32/tarvik_station_shot.exe" "$(windows "$shot")" \
    --port COM21 --port COM22 --port COM23 --port COM24 \
    --image "$(windows "$work/relay_v2.bin")" --log "$(windows "$work/boards.csv")" --start
python3 "$here/bmp_to_png.py" "$shot" "$out"
echo "$out"
