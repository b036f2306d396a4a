#!/usr/bin/env bash
# take_shot.sh BUILD OUT.png
# The picture of the Windows window after a finished upgrade, for the README: the simulated
# board of BUILD/host is linked as COM12 of BUILD's Wine prefix, and the window runs in a
# Wine virtual desktop on a virtual display, which draws its caption and frame as Windows
# would. Needs ./test --windows to have built BUILD.
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
shot=$build/shot.bmp
# The virtual desktop, pixels: room for the window and a margin.
desktop=720x520

"$root/scripts/windows.sh" wine-start "$build"
trap '"$root/scripts/windows.sh" wine-stop "$build"' EXIT
rm -f "$shot"
"$here/with_board.sh" "$build/host/sim/tarvik-sim" "$build/wine-prefix/dosdevices/com12" \
    "$build/shot-board.bin" -- \
    "$build/wine-run" explorer "/desktop=tarvik-shot,$desktop" \
    "$(cd "$build/tests/app_win32" && pwd)/tarvik_window_shot.exe" 12 "Z:${shot//\//\\}"
convert "$shot" "$out"
echo "$out"
