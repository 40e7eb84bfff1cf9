#!/usr/bin/env bash
# The main job: pellan-cli --fast update with the full-size firmware set embedded in it (no
# --firmware-dir), against the simulated stick; every image and NV item checked in the stick.
set -euo pipefail
# Minutes of transfer; scripts/test-full.sh runs it (PELLAN_TEST_FULL=1), scripts/demo.sh does the
# same update by hand.
if [[ "${PELLAN_TEST_FULL:-0}" != 1 ]]; then
    echo "skipped: the full-size update runs with PELLAN_TEST_FULL=1 (scripts/test-full.sh)"
    exit 0
fi
source "$(dirname "$0")/cli_helpers.bash"

# The folder the build embedded: the real images when PELLAN_FIRMWARE_DIR was set, else the
# synthetic set written at build time.
firmware=$(sed -n 's/^PELLAN_FIRMWARE_DIR:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
[[ -n "$firmware" ]] || firmware="$BUILD_DIR/firmware/synthetic"
[[ -f "$firmware/amss.mbn" ]] || fail "no embedded firmware set at $firmware"

start_sim
start=$(date +%s)
run_cli update
seconds=$(( $(date +%s) - start ))
stop_sim

[[ $CLI_RC -eq 0 ]] || fail "exit status $CLI_RC, expected 0"
last_stdout_line | grep -Eq '^Update success!  It costs [0-9]+ minutes and [0-9]+ seconds\.$' ||
    fail "last line is not the success text: $(last_stdout_line)"
# Without --nv-dir the backup goes to the device root, which stands for the machine.
check_update_report "$firmware" "$ROOT/Channel1.nvm"
echo "PASS ($(stat -c %s "$firmware/amss.mbn") + $(stat -c %s "$firmware/efs.mbn") bytes of AMSS and EFS, wall time ${seconds} s)"
