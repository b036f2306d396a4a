#!/usr/bin/env bash
# Checks of the Windows zip, one step per ctest test:
#   check_zip.sh STEP WORK CPACK_CONFIG VERSION [WINE_RUN]
# "build" makes the zip into WORK with cpack and unpacks it; the other steps check it.
set -euo pipefail

step=$1
work=$2
cpack_config=$3
version=$4
name=tarvik-$version-windows-x64
zip=$work/$name.zip
unpacked=$work/unpacked

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

case $step in
build)
    rm -rf "$work"
    mkdir -p "$unpacked"
    cpack -G ZIP --config "$cpack_config" -B "$work"
    [[ -f $zip ]] || fail "cpack made no $zip: $(ls "$work")"
    (cd "$unpacked" && cmake -E tar xf "$zip")
    ;;

contents)
    # One folder named after the zip, with the command line and the read-me; the window's
    # and the station's programs once the Windows build has them.
    listing=$(cmake -E tar tf "$zip" | sort)
    echo "$listing"
    expect=("$name/README.txt" "$name/tarvik-cli.exe")
    for built in app/tarvik station_window/tarvik-station; do
        program=$(basename "$built")
        if [[ -f $(dirname "$cpack_config")/$built.exe ]]; then
            expect+=("$name/$program.exe")
        fi
    done
    wanted=$(printf '%s\n' "${expect[@]}" | sort)
    [[ $listing == "$wanted" ]] || fail "the zip holds:
$listing
instead of:
$wanted"
    readme=$unpacked/$name/README.txt
    grep -q "^tarvik $version for Windows" "$readme" || fail "the read-me names no version"
    # Every line ends CR LF, as a Windows editor expects.
    if grep -qv $'\r$' "$readme"; then
        fail "the read-me has a line without CR LF"
    fi
    ;;

unpacked)
    # The command line as unpacked from the zip, under Wine, away from the build tree.
    wine_run=$5
    shown=$("$wine_run" "$unpacked/$name/tarvik-cli.exe" --version | tr -d '\r')
    [[ $shown == "tarvik-cli $version" ]] || fail "tarvik-cli.exe --version says '$shown'"
    ;;

*)
    fail "unknown step $step"
    ;;
esac
echo "ok: $step"
