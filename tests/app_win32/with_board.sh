#!/bin/sh
# with_board.sh SIM LINK OUT -- COMMAND...
# Runs COMMAND while the simulated board SIM serves a pseudo-terminal linked as LINK (under
# Wine: dosdevices/comN of the prefix), writing the image it receives to OUT. The board takes
# a real line's time, so a transfer lasts long enough to be interrupted. Exits with
# COMMAND's code.
set -u
sim=$1 link=$2 out=$3
shift 3
[ "$1" = "--" ] && shift
# Bounds, seconds: for the link to appear, and for the whole run.
link_wait=30
run_bound=280

rm -f "$out" "$link"
"$sim" --link "$link" --out "$out" --pace --timeout "$run_bound" >/dev/null &
board=$!
waited=0
while [ ! -e "$link" ] && [ $waited -lt $((link_wait * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
done
"$@"
code=$?
kill "$board" 2>/dev/null
wait "$board" 2>/dev/null
exit $code
