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
)

tarvik_setup() {
    tarvik_install_missing "${TARVIK_PACKAGES[@]}"
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
