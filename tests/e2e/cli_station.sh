#!/usr/bin/env bash
# A station of three simulated sticks that all come back under new port numbers at every restart,
# numbers that another stick has just given up among them: pellan-cli --lines 1,2,3 updates all
# three at once, every image in every stick is identical to its file, and every stick gets its own
# NV back (nothing of another stick's backup).
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"
require_cli_option --lines

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/nv"
start_station 3 --port-policy lowest-free --renumber-on reset,downloader,dload-reset,stream-reset
run_cli --lines 1,2,3 --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim

[[ $CLI_RC -eq 0 ]] || fail "exit status $CLI_RC, expected 0"
check_summary 3
for line in 1 2 3; do
    grep -q "^Line $line: .*——Downloading\.\.\.$" "$WORK/cli.out" ||
        fail "no status lines of line $line with its prefix"
done
check_station_report "$WORK/firmware" "$WORK/nv"
report_check <<'PY'
for s in r['sticks']:
    # Five restarts (switch reset, downloader, stream reset, NV-restore reset, normal-mode reset)
    # at most; each one renumbers.
    assert s['enumerations'] >= 4, 'stick %d restarted %d times' % (s['stick'], s['enumerations'])
PY
echo "PASS"
