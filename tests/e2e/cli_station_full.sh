#!/usr/bin/env bash
# A full station: eight simulated sticks, renumbered at every restart, updated at once through
# pellan-cli --lines all --fast update with the full-size firmware set embedded in it. Exit 0,
# every image in every stick identical to its file, every stick's NV its own afterwards.
set -euo pipefail
# Minutes of transfer for eight sticks at once; scripts/test-full.sh runs it (PELLAN_TEST_FULL=1).
if [[ "${PELLAN_TEST_FULL:-0}" != 1 ]]; then
    echo "skipped: the full-size station runs with PELLAN_TEST_FULL=1 (scripts/test-full.sh)"
    exit 0
fi
source "$(dirname "$0")/cli_helpers.bash"
require_cli_option --lines

firmware=$(sed -n 's/^PELLAN_FIRMWARE_DIR:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
[[ -n "$firmware" ]] || firmware="$BUILD_DIR/firmware/synthetic"
[[ -f "$firmware/amss.mbn" ]] || fail "no embedded firmware set at $firmware"

mkdir -p "$WORK/nv"
start_station 8 --port-policy lowest-free --renumber-on reset,downloader,dload-reset,stream-reset
start=$(date +%s)
run_cli --lines all --nv-dir "$WORK/nv" update
seconds=$(( $(date +%s) - start ))
stop_sim

[[ $CLI_RC -eq 0 ]] || fail "exit status $CLI_RC, expected 0"
check_summary 8
check_station_report "$firmware" "$WORK/nv"
echo "PASS (eight sticks, $(stat -c %s "$firmware/amss.mbn") + $(stat -c %s "$firmware/efs.mbn") bytes of AMSS and EFS each, wall time ${seconds} s)"
