#!/usr/bin/env bash
# The Windows build: 64-bit programs cross-built with mingw-w64 and tested under Wine.
#
# Sourced by ./test (./test --windows) for its functions:
#   tarvik_windows_setup         installs mingw-w64, Wine and GoogleTest's sources if missing
#   tarvik_mingw_deps DIR        builds GoogleTest for mingw and copies the header-only CLI11
#                                headers into DIR (once; the toolchain file's TARVIK_MINGW_DEPS)
#   tarvik_windows_build DIR     the Linux helpers the Wine tests need into DIR/host, then the
#                                Windows programs and tests into DIR
# Run as a command, with the Windows build folder BUILD (ctest's fixtures do this):
#   scripts/windows.sh wine-start BUILD    creates the Wine prefix BUILD/wine-prefix if needed
#                                          and leaves a warmed, persistent wineserver running
#   scripts/windows.sh wine-stop BUILD     ends that wineserver and every Wine process of it
#   scripts/windows.sh run BUILD PROGRAM.exe [ARGS]   runs a Windows program in that prefix
# (BUILD/wine-run PROGRAM.exe [ARGS] is the same as the last one.)
#
# The prefix lives in the build folder, never in the user's ~/.wine. Without a warmed
# wineserver every Wine start waits about 3 s for a server, or hangs; a prefix's first boot
# takes some 6-10 s. The server's output goes to BUILD/wine-prefix.log, away from the pipes
# of whoever started it (ctest would otherwise wait for the server to end).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

TARVIK_WINDOWS_PACKAGES=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64
    googletest
    # The window's tests: a display, a Song font with SimSun's proportions for 宋体, and
    # Wine's own fonts (the caption buttons' symbols).
    xvfb fonts-arphic-uming fonts-wine
)

_tarvik_windows_root() {
    cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd
}

tarvik_windows_setup() {
    tarvik_install_missing "${TARVIK_WINDOWS_PACKAGES[@]}"
}

# GoogleTest from Debian's source package, built with the mingw toolchain, and the CLI11 and
# nlohmann-json headers alone (pointing the compiler at /usr/include would break mingw's headers).
tarvik_mingw_deps() {
    local deps=$1 root
    root=$(_tarvik_windows_root)
    if [[ ! -f $deps/lib/cmake/GTest/GTestConfig.cmake ]]; then
        cmake -S /usr/src/googletest -B "$deps-gtest-build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
            -DBUILD_GMOCK=ON -Dgtest_disable_pthreads=OFF >&2
        cmake --build "$deps-gtest-build" -j "$(nproc)" >&2
        cmake --install "$deps-gtest-build" >&2
    fi
    if [[ ! -f $deps/include/CLI/CLI.hpp ]]; then
        mkdir -p "$deps/include"
        cp -r /usr/include/CLI "$deps/include/"
    fi
    if [[ ! -f $deps/include/nlohmann/json.hpp ]]; then
        mkdir -p "$deps/include"
        cp -r /usr/include/nlohmann "$deps/include/"
    fi
}

# Builds the Linux helpers of the Wine tests (the simulated board, the pty peer and the
# end-to-end driver) into $1/host, then the Windows programs and tests into $1.
tarvik_windows_build() {
    local dir=$1 root
    root=$(_tarvik_windows_root)
    dir=$root/$dir
    cmake -S "$root" -B "$dir/host" -G Ninja -DTARVIK_BUILD_GUI=OFF >&2
    cmake --build "$dir/host" -j "$(nproc)" \
        --target tarvik-sim tarvik-pty-peer tarvik_wine_cli_test >&2
    tarvik_mingw_deps "$dir/mingw-deps"
    cmake -S "$root" -B "$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DTARVIK_MINGW_DEPS="$dir/mingw-deps" -DTARVIK_HOST_TOOLS="$dir/host" >&2
    cmake --build "$dir" -j "$(nproc)" >&2
}

# ---- Wine ----

_tarvik_wine_env() {
    local build=$1
    export WINEPREFIX=$build/wine-prefix
    export WINEDEBUG=-all
    # No prompt to install Mono or Gecko: no test needs them.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEARCH=win64
    TARVIK_WINE=wine
    [[ -x /usr/lib/wine/wine64 ]] && TARVIK_WINE=/usr/lib/wine/wine64
    TARVIK_WINESERVER=wineserver
    [[ -x /usr/lib/wine/wineserver ]] && TARVIK_WINESERVER=/usr/lib/wine/wineserver
    # The display that wine-start made for this prefix, for the window's tests.
    if [[ -s $build/wine-display ]]; then
        export DISPLAY=":$(cat "$build/wine-display")"
    fi
}

# Bound on Xvfb's start, tenths of a second.
TARVIK_DISPLAY_WAIT=300

# One virtual display for the whole run (the window's tests make real windows; a fixture PC's
# 1366 x 768, where the station window must fit), its number
# kept in BUILD/wine-display and its process id in BUILD/wine-display.pid.
_tarvik_display_start() {
    local build=$1 pid waited=0
    if [[ -s $build/wine-display.pid ]] && kill -0 "$(cat "$build/wine-display.pid")" 2>/dev/null; then
        return 0
    fi
    rm -f "$build/wine-display" "$build/wine-display.pid"
    command -v Xvfb >/dev/null || return 0
    Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$build/wine-display.new" \
        >>"$build/wine-prefix.log" 2>&1 </dev/null &
    pid=$!
    while [[ ! -s $build/wine-display.new ]] && ((waited < TARVIK_DISPLAY_WAIT)); do
        sleep 0.1
        waited=$((waited + 1))
    done
    echo "$pid" >"$build/wine-display.pid"
    mv "$build/wine-display.new" "$build/wine-display"
}

_tarvik_display_stop() {
    local build=$1
    if [[ -s $build/wine-display.pid ]]; then
        kill "$(cat "$build/wine-display.pid")" 2>/dev/null || true
    fi
    rm -f "$build/wine-display" "$build/wine-display.pid"
}

# 宋体 and SimSun are not on this machine: "AR PL UMing CN" stands in for them, with the same
# 8 x 16 dialog base units at 12 pt, so the window keeps the template's proportions. The
# Chinese value name needs a UTF-8 locale to reach the registry intact.
_tarvik_font_substitutes() {
    local name
    for name in 宋体 SimSun; do
        LC_ALL=C.UTF-8 "$TARVIK_WINE" reg add \
            'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
            /v "$name" /t REG_SZ /d "AR PL UMing CN" /f >>"$1/wine-prefix.log" 2>&1 </dev/null
    done
}

tarvik_wine_start() {
    local build
    build=$(cd "$1" && pwd)
    _tarvik_display_start "$build"
    _tarvik_wine_env "$build"
    mkdir -p "$WINEPREFIX"
    # Persistent: it stays between the tests' programs instead of ending with each one. It
    # refuses to start when this prefix has a server already, which serves as well.
    "$TARVIK_WINESERVER" -p >>"$build/wine-prefix.log" 2>&1 </dev/null || true
    "$TARVIK_WINE" wineboot -i >>"$build/wine-prefix.log" 2>&1 </dev/null
    _tarvik_font_substitutes "$build"
}

tarvik_wine_stop() {
    local build
    build=$(cd "$1" && pwd)
    _tarvik_wine_env "$build"
    "$TARVIK_WINESERVER" -k >>"$build/wine-prefix.log" 2>&1 </dev/null || true
    _tarvik_display_stop "$build"
}

tarvik_wine_run() {
    local build
    build=$(cd "$1" && pwd)
    shift
    _tarvik_wine_env "$build"
    exec "$TARVIK_WINE" "$@"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    case ${1:-} in
        wine-start) tarvik_wine_start "$2" ;;
        wine-stop) tarvik_wine_stop "$2" ;;
        run) shift; tarvik_wine_run "$@" ;;
        *)
            echo "usage: scripts/windows.sh wine-start|wine-stop BUILD | run BUILD PROGRAM [ARGS]" >&2
            exit 2
            ;;
    esac
fi
