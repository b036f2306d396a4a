#!/usr/bin/env bash
# Installs every package the build, the tests and the demo need, if any is missing.
# Sourced by ./test and ./run. Debian 12 or later; root, or sudo for apt-get.
set -euo pipefail

TARVIK_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libgtest-dev libgmock-dev
    libcli11-dev nlohmann-json3-dev libudev-dev
    fonts-noto-cjk fonts-arphic-uming qt6-translations-l10n xvfb xauth
    clang libclang-rt-dev
    dpkg-dev file help2man lintian desktop-file-utils appstream python3
    ser2net
)

tarvik_setup() {
    tarvik_install_missing "${TARVIK_PACKAGES[@]}"
}

# The page (web/): emscripten builds it (node-acorn is its script optimiser), Debian's
# Chromium runs its tests, driven by puppeteer-core, with the bridge on the ws package (both
# from package-lock.json, installed into node_modules/ here, never at test time).
TARVIK_WEB_PACKAGES=(emscripten node-acorn chromium)

tarvik_web_setup() {
    tarvik_install_missing "${TARVIK_WEB_PACKAGES[@]}"
    if ! command -v npm >/dev/null; then
        tarvik_install_missing nodejs npm
    fi
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    if [[ ! -f $root/node_modules/.package-lock.json ||
        $root/package-lock.json -nt $root/node_modules/.package-lock.json ]]; then
        (cd "$root" && npm ci --no-audit --no-fund --loglevel=error) >&2
    fi
}

# Builds the page into $1 (its files in $1/web/page) with emscripten. Debian's emscripten
# ships its system libraries prebuilt, so a cold build compiles only the project's files.
tarvik_web_build() {
    local dir=$1
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
    emcmake cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
    cmake --build "$root/$dir" -j "$(nproc)" >&2
}

# Installs those of the Debian packages named that are not installed yet.
tarvik_install_missing() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    echo "Installing: ${missing[*]}" >&2
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >&2
}

# Configures and builds into $1 with the extra CMake arguments that follow.
tarvik_build() {
    local dir=$1
    shift
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >&2
    cmake --build "$root/$dir" -j "$(nproc)" >&2
}
