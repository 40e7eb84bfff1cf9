#!/usr/bin/env bash
# pellan-cli backup-nv and restore-nv against simulated sticks: a backup restored into another
# stick makes it carry the same NV store (IMEI included, mode 2), so that stick's own backup is
# byte for byte the first; a later, different backup keeps the earlier file as a time-stamped
# copy; a damaged NVM file is refused before anything reaches the stick.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
NV="$WORK/nv"
mkdir -p "$NV"

fresh_sim() {
    stop_sim
    rm -rf "$ROOT" "$REPORT"
    start_sim "$@"
}

nv_cli() {
    run_cli --nv-dir "$NV" --firmware-dir "$WORK/firmware" "$@"
}

# 1. Backup of stick A.
fresh_sim
nv_cli backup-nv
[[ $CLI_RC -eq 0 ]] || fail "backup of stick A: exit status $CLI_RC"
[[ "$(last_stdout_line)" == "Backup NV success" ]] || fail "backup of stick A: $(last_stdout_line)"
[[ $(stat -c %s "$NV/Channel1.nvm") -eq 115600 ]] || fail "Channel1.nvm is not 115,600 bytes"
cp "$NV/Channel1.nvm" "$WORK/A.nvm"
stop_sim

# 2. Stick B carries other contents and another IMEI.
python3 - "$WORK/A.nvm" "$WORK/B.nvm" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
for i in range(530):
    for k in range(4, 132):
        data[i * 136 + k] ^= 0xFF
open(sys.argv[2], 'wb').write(data)
PY
fresh_sim --imei 490154203237518 --nv-file "$WORK/B.nvm"
nv_cli --nv-mode 2 restore-nv
[[ $CLI_RC -eq 0 ]] || fail "restore into stick B: exit status $CLI_RC"
[[ "$(last_stdout_line)" == "Restore NV success" ]] || fail "restore into stick B: $(last_stdout_line)"
nv_cli backup-nv
[[ $CLI_RC -eq 0 ]] || fail "backup of stick B: exit status $CLI_RC"
cmp -s "$NV/Channel1.nvm" "$WORK/A.nvm" || fail "stick B's backup after the restore differs from A's"
[[ -z "$(find "$NV" -maxdepth 1 -name 'Channel1-*.nvm')" ]] ||
    fail "an identical backup left a copy behind"
stop_sim
report_check "$WORK/A.nvm" <<'PY'
data = open(sys.argv[2], 'rb').read()
records = [data[i * 136:(i + 1) * 136] for i in range(530)]
writes = r['nvWrites']
assert len(writes) == 530, len(writes)
for rec, w in zip(records, writes):
    assert w['id'] == int.from_bytes(rec[0:2], 'little') and w['status'] == 0, w
    assert bytes.fromhex(w['data']) == rec[4:132], w['id']
assert r['imei'] == '358812045678903', r['imei']
counts = r['commandCounts']
assert counts['GoOffline'] == 1 and counts['GoOnline'] == 1, counts
PY

# 3. Stick C differs (its IMEI): its backup replaces Channel1.nvm and keeps A's beside it.
fresh_sim --imei 490154203237518
nv_cli backup-nv
[[ $CLI_RC -eq 0 ]] || fail "backup of stick C: exit status $CLI_RC"
copies=("$NV"/Channel1-*.nvm)
[[ ${#copies[@]} -eq 1 && -f "${copies[0]}" ]] || fail "no time-stamped copy of the earlier backup"
[[ "$(basename "${copies[0]}")" =~ ^Channel1-[0-9]{8}-[0-9]{6}\.nvm$ ]] ||
    fail "copy name $(basename "${copies[0]}")"
cmp -s "${copies[0]}" "$WORK/A.nvm" || fail "the kept copy is not the earlier backup"
cmp -s "$NV/Channel1.nvm" "$WORK/A.nvm" && fail "Channel1.nvm was not replaced"
grep -qF -- "——The earlier NV backup was kept as ${copies[0]}" "$WORK/cli.out" ||
    fail "the kept copy is not named in the status lines"

# 4. A damaged NVM file is refused with the size message; nothing is written, no offline.
head -c 115599 "$WORK/A.nvm" >"$NV/Channel1.nvm"
nv_cli --nv-mode 2 restore-nv
[[ $CLI_RC -eq 1 ]] || fail "restore of a short file: exit status $CLI_RC, expected 1"
[[ "$(last_stdout_line)" == "Restore NV fail!" ]] || fail "restore of a short file: $(last_stdout_line)"
grep -qF "Line 1 failed: NVM file for backup NV doesn't exist or destroyed" "$WORK/cli.err" ||
    fail "no size message"
stop_sim
report_check <<'PY'
assert r['nvWrites'] == [], r['nvWrites'][:3]
assert 'GoOffline' not in r['commandCounts'], r['commandCounts']
PY
echo "PASS"
