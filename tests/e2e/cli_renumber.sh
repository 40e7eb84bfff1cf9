#!/usr/bin/env bash
# A stick that comes back under new port numbers after each reset of its normal firmware is found
# again on its new ports (the wait after the switch reset and the one after the NV restore).
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/nv"
start_sim --renumber-on reset --exit-after-update
run_cli --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
[[ $CLI_RC -eq 0 ]] || fail "exit status $CLI_RC, expected 0"
wait_sim_exit
last_stdout_line | grep -Eq '^Update success!  It costs [0-9]+ minutes and [0-9]+ seconds\.$' ||
    fail "last line is not the success text: $(last_stdout_line)"

report_check <<'PY'
assert r['updateFinished'], 'the stick did not see the end of an update'
# Ports 5 and 6 at first, ten higher after each of the two resets of the normal firmware.
assert (r['ports']['diag'], r['ports']['at']) == (25, 26), 'ports now %s' % r['ports']
assert r['vendorMode'] == 0 and r['autorun'] == 1, 'the stick was not returned to normal mode'
PY
echo "PASS"
