#!/bin/sh
# program_run.sh WINE_RUN EXE WORK EXPECTED [ARGS...]
# Runs tarvik-station.exe as a fixture PC's shortcut does, with an image the boards accept
# (WORK/image.bin) and the log WORK/boards.csv added to ARGS, and checks that it ends with
# the exit code EXPECTED and that its log holds one record per board of the run (RECORDS in
# the environment, when set).
set -u
wine_run=$1 exe=$2 work=$3 expected=$4
shift 4
mkdir -p "$work"
image=$work/image.bin
log=$work/boards.csv
rm -f "$log"
# 8 KiB with the marker "IO-" at offset 1.
python3 -c 'import sys; b = bytearray((i * 7 + 3) & 0xFF for i in range(8192)); b[1:4] = b"IO-"; open(sys.argv[1], "wb").write(b)' "$image"
windows() { echo "Z:$1" | tr / '\\'; }
"$wine_run" "$exe" "$@" --image "$(windows "$image")" --log "$(windows "$log")"
code=$?
if [ "$code" -ne "$expected" ]; then
    echo "FAIL: tarvik-station.exe ended with $code, not $expected" >&2
    exit 1
fi
if [ -n "${RECORDS:-}" ]; then
    records=$(($(grep -c . "$log") - 1))
    if [ "$records" -ne "$RECORDS" ]; then
        echo "FAIL: the log holds $records records, not $RECORDS:" >&2
        cat "$log" >&2
        exit 1
    fi
fi
echo "tarvik-station.exe ended with $code"
