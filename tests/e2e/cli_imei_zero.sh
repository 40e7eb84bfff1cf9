#!/usr/bin/env bash
# A stick whose IMEI reads as fifteen zeros is refused before anything is written to it.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/nv"
start_sim --imei-zero
run_cli --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim

[[ $CLI_RC -eq 1 ]] || fail "exit status $CLI_RC, expected 1"
[[ "$(last_stdout_line)" == "IMEI is not exist, not allowed to download!" ]] ||
    fail "last line: $(last_stdout_line)"
[[ ! -e "$WORK/nv/Channel1.nvm" ]] || fail "an NV backup was made"
ls "$WORK/nv/Logs"/Line1_*.log >/dev/null 2>&1 || fail "no line log file in the Logs folder"

report_check <<'PY'
counts = r['commandCounts']
for name in ('SetVendorMode', 'SwitchToDownloader', 'DloadWrite32', 'StreamWrite',
             'StreamPartitionTable', 'WriteNvItem', 'ResetPhone'):
    assert counts.get(name, 0) == 0, name + ' was sent to a refused stick'
assert not r['images'] and not r['nvWrites'], 'something was written'
assert counts.get('ReadNvItem', 0) >= 3, 'the IMEI was not read three times'
PY
echo "PASS"
