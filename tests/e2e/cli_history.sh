#!/usr/bin/env bash
# The station's history through pellan-cli against simulated sticks: a successful update and an
# IMEI-zero refusal each leave one row (newest first, filtered by IMEI and date, as a table and as
# JSON); the update's NV backup is archived under the stick's IMEI; a stick whose NV was wiped
# reports no IMEI, so the archive restore needs --imei, and then gives the stick its IMEI back.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

IMEI=358812045678903
"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
NV="$WORK/nv"
mkdir -p "$NV"

fresh_sim() {
    stop_sim
    rm -rf "$ROOT" "$REPORT"
    start_sim "$@"
}
station() {
    run_cli --nv-dir "$NV" --firmware-dir "$WORK/firmware" "$@"
}

# 1. A successful update: its backup is archived by the IMEI of its own item 550.
fresh_sim
station update
[[ $CLI_RC -eq 0 ]] || fail "update: exit status $CLI_RC"
archives=("$NV/nv-archive/$IMEI"/*.nvm)
[[ ${#archives[@]} -eq 1 && -f "${archives[0]}" ]] || fail "archive: ${archives[*]}"
cmp -s "${archives[0]}" "$NV/Channel1.nvm" || fail "the archive is not the update's backup"

# 2. A stick whose IMEI reads as zeros is refused; the refusal is recorded too.
fresh_sim --imei-zero
station update
[[ $CLI_RC -eq 1 ]] || fail "IMEI-zero update: exit status $CLI_RC"
stop_sim

# 3. The table, newest first; the JSON of one stick; a date filter; a bad date.
station history
[[ $CLI_RC -eq 0 ]] || fail "history: exit status $CLI_RC"
mapfile -t rows <"$WORK/cli.out"
[[ ${#rows[@]} -eq 4 && "${rows[3]}" == "2 jobs" ]] || fail "history rows: ${rows[*]}"
[[ "${rows[1]}" =~ update\ +000000000000000\ +8034A1B2\ +fail\ 5.*IMEI\ is\ not\ exist ]] ||
    fail "newest row: ${rows[1]}"
[[ "${rows[2]}" =~ update\ +$IMEI\ +8034A1B2\ +pass\ 0.*Update\ success! ]] ||
    fail "older row: ${rows[2]}"
station history --json --imei "$IMEI"
python3 - "$WORK/cli.out" <<'PY' || fail "history --json"
import json, re, sys
jobs = json.load(open(sys.argv[1]))
assert len(jobs) == 1, jobs
j = jobs[0]
assert j['imei'] == '358812045678903' and j['passed'] and j['resultCode'] == 0, j
assert j['jobKind'] == 1 and j['line'] == 1 and j['port'] == 'COM5' and j['esn'] == '8034A1B2', j
assert re.fullmatch('[0-9a-f]{32}', j['firmwareDigest']), j
assert j['versionBefore'] == j['versionAfter'] == 'HX402A_V1.0.3_B05', j
assert j['startedAt'] <= j['endedAt'] and j['durationMs'] > 0, j
PY
station history --since 2999-01-01
[[ $CLI_RC -eq 0 && "$(last_stdout_line)" == "0 jobs" ]] || fail "--since: $(last_stdout_line)"
station history --since yesterday
[[ $CLI_RC -eq 2 ]] || fail "--since yesterday: exit status $CLI_RC"

# 4. A stick whose NV was wiped (item 22 left, no IMEI item): found by its ESN, which has no
# archive with an IMEI; with --imei its archived backup goes back in and brings the IMEI.
python3 - "$WORK/wiped.nvm" <<'PY'
import sys
data = bytearray(850 * 136)
data[0:2] = (22).to_bytes(2, 'little')
data[136:138] = (9999).to_bytes(2, 'little')
open(sys.argv[1], 'wb').write(data)
PY
fresh_sim --nv-file "$WORK/wiped.nvm"
station restore-nv --from-archive
[[ $CLI_RC -eq 1 ]] || fail "restore by the stick's own identity: exit status $CLI_RC"
[[ "$(last_stdout_line)" == "No archived NV backup with an IMEI for ESN-8034A1B2 in $NV/nv-archive" ]] ||
    fail "restore by the stick's own identity: $(last_stdout_line)"
station restore-nv --from-archive --imei "$IMEI"
[[ $CLI_RC -eq 0 && "$(last_stdout_line)" == "Restore NV success" ]] ||
    fail "archive restore: $CLI_RC $(last_stdout_line)"
grep -qx "Restoring the archived NV backup ${archives[0]}" "$WORK/cli.out" ||
    fail "the restore did not name the archive"
stop_sim
report_check <<'PY'
assert r['imei'] == '358812045678903', r['imei']
PY
station history --json
python3 - "$WORK/cli.out" <<'PY' || fail "the restore's row"
import json, sys
j = json.load(open(sys.argv[1]))[0]
assert j['jobKind'] == 4 and j['imei'] == '358812045678903' and j['passed'], j
assert j['resultText'] == 'Restore NV success', j
PY
echo "PASS"
