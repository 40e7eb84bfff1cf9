#!/usr/bin/env bash
# The NV backup is what goes back into the stick after its flash is erased, so it must hold this
# stick's IMEI: a stick that stops answering just when the backup reads item 550 (the 533rd item
# read: three IMEI reads, item 22, then item 550 is the backup's 529th) leaves a backup without
# its IMEI, and the job ends right after the backup, before the switch into the downloader; the
# stick keeps its firmware and its NV items.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/nv"
start_sim --stop-at ReadNvItem:533
run_cli --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim

[[ $CLI_RC -eq 1 ]] || fail "exit status $CLI_RC, expected 1"
[[ "$(last_stdout_line)" == "The NV backup $WORK/nv/Channel1.nvm holds no IMEI (item 550 was not read); the stick was not changed." ]] ||
    fail "last line: $(last_stdout_line)"
[[ -e "$WORK/nv/Channel1.nvm" ]] || fail "the backup was not kept"

report_check <<'PY'
counts = r['commandCounts']
for name in ('SwitchToDownloader', 'DloadWrite32', 'StreamWrite', 'StreamPartitionTable',
             'WriteNvItem'):
    assert counts.get(name, 0) == 0, name + ' was sent to a refused stick'
assert not r['images'] and not r['nvWrites'], 'something was written'
PY
echo "PASS"
