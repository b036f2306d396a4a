#!/bin/sh
# with_boards.sh SIM DOSDEVICES OUTDIR COM:ARGS... -- COMMAND...
# Runs COMMAND while one simulated board row per COM:ARGS serves a pseudo-terminal linked as
# DOSDEVICES/COM (under Wine: dosdevices/comN of the prefix), with the sim's ARGS (split at
# spaces) and every board's image written to OUTDIR/COM-<board>.bin. Exits with COMMAND's
# code.
set -u
sim=$1 dosdevices=$2 outdir=$3
shift 3
# Bounds, seconds: for each link to appear, and for the whole run.
link_wait=30
run_bound=280

rm -rf "$outdir"
mkdir -p "$outdir"
boards=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    com=${1%%:*}
    args=${1#*:}
    rm -f "$dosdevices/$com"
    # shellcheck disable=SC2086  # ARGS are the sim's options, split at spaces on purpose
    "$sim" --link "$dosdevices/$com" --out "$outdir/$com-%d.bin" --timeout "$run_bound" \
        $args >"$outdir/$com.summary" 2>"$outdir/$com.err" &
    boards="$boards $!"
    waited=0
    while [ ! -e "$dosdevices/$com" ] && [ $waited -lt $((link_wait * 10)) ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    shift
done
[ "${1:-}" = "--" ] && shift
"$@"
code=$?
for board in $boards; do
    kill "$board" 2>/dev/null
    wait "$board" 2>/dev/null
done
exit $code
