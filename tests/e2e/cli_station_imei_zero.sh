#!/usr/bin/env bash
# Three sticks updated at once, the second with an IMEI of fifteen zeros: the line that holds it
# fails with the refusal text and nothing is written to that stick; the other two lines succeed
# with their own sticks; the exit status is 1.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"
require_cli_option --lines

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/nv"
start_station 3 --port-policy lowest-free --renumber-on reset,downloader --stick 2:imei-zero
run_cli --lines 1,2,3 --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim

[[ $CLI_RC -eq 1 ]] || fail "exit status $CLI_RC, expected 1"
check_summary 3 "IMEI is not exist, not allowed to download!"
check_station_report "$WORK/firmware" "$WORK/nv" 2
echo "PASS"
