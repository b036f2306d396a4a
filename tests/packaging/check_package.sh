#!/usr/bin/env bash
# Checks of the Debian package, one step per ctest test:
#   check_package.sh STEP WORK CPACK_CONFIG VERSION
# "build" makes the package into WORK with cpack; every other step checks that package.
set -euo pipefail

step=$1
work=$2
cpack_config=$3
version=$4
deb=$work/tarvik_${version}_$(dpkg --print-architecture).deb
# Generous bounds for a loaded machine: a whole upgrade of a small image takes a second.
bound_seconds=120

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The package unpacked as dpkg would install it, into a fresh temporary folder.
unpack() {
    root=$(mktemp -d "$work/root.XXXXXX")
    dpkg -x "$deb" "$root"
}

case $step in
build)
    rm -rf "$work"
    mkdir -p "$work"
    cpack -G DEB --config "$cpack_config" -B "$work"
    [[ -f $deb ]] || fail "cpack made no $deb: $(ls "$work")"
    ;;

contents)
    listing=$(dpkg-deb --contents "$deb" | awk '{print $1, $NF}')
    expect=(
        "-rwxr-xr-x ./usr/bin/tarvik"
        "-rwxr-xr-x ./usr/bin/tarvik-cli"
        "-rwxr-xr-x ./usr/bin/tarvik-sim"
        "-rwxr-xr-x ./usr/bin/tarvik-station"
        "-rw-r--r-- ./usr/share/applications/tarvik.desktop"
        "-rw-r--r-- ./usr/share/applications/tarvik-station.desktop"
        "-rw-r--r-- ./usr/share/man/man1/tarvik-station.1.gz"
        "-rw-r--r-- ./usr/share/man/man1/tarvik.1.gz"
        "-rw-r--r-- ./usr/share/man/man1/tarvik-cli.1.gz"
        "-rw-r--r-- ./usr/share/man/man1/tarvik-sim.1.gz"
        "-rw-r--r-- ./usr/share/doc/tarvik/copyright"
        "-rw-r--r-- ./usr/share/doc/tarvik/changelog.gz"
    )
    for size in 16 22 24 32 48 64 128 256; do
        expect+=("-rw-r--r-- ./usr/share/icons/hicolor/${size}x${size}/apps/tarvik.png")
    done
    for line in "${expect[@]}"; do
        grep -qxF -- "$line" <<<"$listing" || fail "not in the package: $line"
    done
    grep -qE '^-rw-r--r-- \./usr/share/metainfo/[^/]+\.metainfo\.xml$' <<<"$listing" ||
        fail "no metainfo file in the package"

    # Each icon is drawn at the size of the folder it is in.
    unpack
    for size in 16 22 24 32 48 64 128 256; do
        icon=$root/usr/share/icons/hicolor/${size}x${size}/apps/tarvik.png
        file -b "$icon" | grep -q "PNG image data, $size x $size," ||
            fail "icon of ${size}x${size} is $(file -b "$icon")"
    done
    # Every manual page names its program.
    for program in tarvik tarvik-cli tarvik-sim tarvik-station; do
        zcat "$root/usr/share/man/man1/$program.1.gz" | grep -qE "^$program \\\\- " ||
            fail "manual page of $program does not name it"
    done

    # The control record: the project's version, the libraries the programs link, the
    # window's font and the framework's Chinese texts, and no maintainer script (nothing
    # edits the user's groups).
    [[ $(dpkg-deb --field "$deb" Package) == tarvik ]] || fail "package name"
    [[ $(dpkg-deb --field "$deb" Version) == "$version" ]] ||
        fail "version $(dpkg-deb --field "$deb" Version), not $version"
    depends=$(dpkg-deb --field "$deb" Depends)
    for needed in libc6 libqt6widgets6 libqt6core6 libudev1 fonts-arphic-uming \
        qt6-translations-l10n; do
        grep -qE "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed: $depends"
    done
    control=$work/control
    rm -rf "$control"
    dpkg-deb --control "$deb" "$control"
    for script in preinst postinst prerm postrm; do
        [[ ! -e $control/$script ]] || fail "the package has a $script"
    done
    ;;

desktop_entry)
    unpack
    # The tool's launcher and the station's, each with its Chinese name.
    for entry_name in "tarvik.desktop:Norvane 串口继电器控制板固件升级工具 V103" \
        "tarvik-station.desktop:批量升级"; do
        entry=$root/usr/share/applications/${entry_name%%:*}
        desktop-file-validate "$entry"
        field() { sed -n "s/^$1=//p" "$entry"; }
        [[ $(field 'Name\[zh_CN\]') == "${entry_name#*:}" ]] ||
            fail "${entry_name%%:*}: Name[zh_CN] is '$(field 'Name\[zh_CN\]')'"
        [[ -n $(field Name) && -n $(field Comment) && -n $(field Categories) ]] ||
            fail "${entry_name%%:*}: Name, Comment or Categories missing"
        [[ $(field Terminal) == false ]] || fail "${entry_name%%:*}: Terminal is not false"
        # The launcher finds what the entry names: the program and the icon.
        [[ -x $root/usr/bin/$(field Exec) ]] || fail "Exec=$(field Exec) is not in the package"
        icons=("$root"/usr/share/icons/hicolor/*/apps/"$(field Icon)".png)
        [[ -f ${icons[0]} ]] || fail "Icon=$(field Icon) has no icon in the package"
    done
    ;;

metainfo)
    unpack
    metainfo=$(echo "$root"/usr/share/metainfo/*.metainfo.xml)
    appstreamcli validate --no-net "$metainfo"
    grep -qF "<release version=\"$version\"" "$metainfo" || fail "no release $version"
    launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
    [[ -f $root/usr/share/applications/$launchable ]] ||
        fail "launchable '$launchable' is not in the package"
    ;;

lintian)
    # Warnings kept on purpose would be overridden in the package itself; none are.
    lintian --fail-on error,warning "$deb"
    ;;

unpacked)
    # The programs as installed, away from the build tree: their version, then a whole
    # upgrade of the installed simulated board by the installed command line.
    unpack
    bin=$root/usr/bin
    [[ $("$bin/tarvik-cli" --version) == "tarvik-cli $version" ]] ||
        fail "tarvik-cli --version says '$("$bin/tarvik-cli" --version)'"
    [[ $("$bin/tarvik-sim" --version) == "tarvik-sim $version" ]] ||
        fail "tarvik-sim --version says '$("$bin/tarvik-sim" --version)'"
    # Asked for its version the window opens nothing: it answers without a display too.
    [[ $(env -u DISPLAY -u WAYLAND_DISPLAY "$bin/tarvik-station" --version) == \
        "tarvik-station $version" ]] ||
        fail "tarvik-station --version says '$("$bin/tarvik-station" --version 2>&1)'"

    export XDG_CONFIG_HOME=$root/config
    mkdir -p "$XDG_CONFIG_HOME"
    image=$root/firmware.bin
    { printf '\x7fIO-firmware'; head -c 1000 /dev/urandom; } >"$image"
    "$bin/tarvik-sim" --com 9 --once --timeout "$bound_seconds" --out "$root/received.bin" \
        >"$root/sim.out" &
    sim=$!
    trap 'kill "$sim" 2>/dev/null || true' EXIT
    for ((i = 0; i < bound_seconds * 10; i++)); do
        [[ -e $XDG_CONFIG_HOME/tarvik-ports/com9 ]] && break
        kill -0 "$sim" 2>/dev/null || fail "tarvik-sim ended before its port was ready"
        sleep 0.1
    done
    status=0
    output=$("$bin/tarvik-cli" upgrade --port COM9 --image "$image" \
        --search-timeout "$bound_seconds") || status=$?
    echo "$output"
    [[ $status -eq 0 ]] || fail "tarvik-cli ended with $status"
    grep -qF "升级成功" <<<"$output" || fail "no 升级成功"
    wait "$sim" || fail "tarvik-sim ended with $?"
    trap - EXIT
    cmp -n "$(stat -c %s "$image")" "$image" "$root/received.bin" ||
        fail "the board did not receive the image"
    ;;

*)
    fail "unknown step $step"
    ;;
esac
echo "ok: $step"
