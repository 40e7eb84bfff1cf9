#!/usr/bin/env bash
# The fault matrix: pellan-cli against the simulated stick over pseudo-terminals, one fault per
# row, each with its expected outcome (the exit status and the last line of standard output) and a
# check that no NV data was lost: an earlier backup in the NV folder is still there byte for byte
# (as it was or as its time-stamped copy), and a new backup is a whole NVM file with its end
# marker. Successful updates must also have every image in the stick identical to its file and
# every backed-up NV item written back as read.
#
# usage: scripts/fault-matrix.sh BUILD_DIR [ROW_NAME_PATTERN]
# The rows run side by side (they mostly wait on the stick); PELLAN_MATRIX_JOBS limits how many
# (default 2). The real reply time-outs make the silent-stick row last about 11 minutes whatever
# the number; with 2 at a time the whole matrix takes about 18 minutes.
set -uo pipefail

BUILD_DIR=$(realpath "${1:?usage: $0 BUILD_DIR [ROW_NAME_PATTERN]}")
PATTERN=${2:-.}
JOBS=${PELLAN_MATRIX_JOBS:-2}
CLI="$BUILD_DIR/apps/pellan-cli/pellan-cli"
SIM="$BUILD_DIR/apps/pellan-stick-sim/pellan-stick-sim"
MKFIRMWARE="$BUILD_DIR/tools/pellan-mkfirmware"
for program in "$CLI" "$SIM" "$MKFIRMWARE"; do
    [[ -x "$program" ]] || { echo "missing $program (build it first)" >&2; exit 2; }
done

MATRIX=$(mktemp -d)
trap 'rm -rf "$MATRIX"' EXIT
SUCCESS_RE='^Update success!  It costs [0-9]+ minutes and [0-9]+ seconds\.$'

"$MKFIRMWARE" --small "$MATRIX/firmware" >/dev/null

# ---- one row ----
# run_row NAME KIND EXPECT_RC EXPECT_RE SETUP LIMIT SIM_OPTIONS... -- CLI_COMMAND
# KIND: "update" checks images and restored NV on success; "nv" checks only the NV files.
# SETUP names a function run in the row's folder before the stick starts (or "none").
# LIMIT: seconds the program may run before it is stopped (timeout's exit status is then 124).
run_row() {
    local name=$1 kind=$2 rc_want=$3 re_want=$4 setup=$5 limit=$6
    shift 6
    local sim_opts=()
    while [[ $1 != -- ]]; do sim_opts+=("$1"); shift; done
    shift
    local dir="$MATRIX/rows/$name"
    mkdir -p "$dir/nv" "$dir/root"
    cp -r "$MATRIX/firmware" "$dir/firmware"
    cp "$MATRIX/earlier.nvm" "$dir/nv/Channel1.nvm"
    [[ $setup == none ]] || (cd "$dir" && "$setup")
    cp "$dir/nv/Channel1.nvm" "$dir/before.nvm"
    "$SIM" --root "$dir/root" --fast --report "$dir/report.json" "${sim_opts[@]}" \
        >"$dir/sim.log" 2>&1 &
    local sim=$!
    for _ in $(seq 100); do
        [[ -e "$dir/root/registry.reg" ]] && ls "$dir/root"/COM* >/dev/null 2>&1 && break
        sleep 0.1
    done
    # A row that needs its own program folder (the settings file lives beside the program) brings
    # its own copy of pellan-cli.
    local cli=$CLI
    [[ ! -x "$dir/bin/pellan-cli" ]] || cli="$dir/bin/pellan-cli"
    local started=$SECONDS
    timeout "$limit" "$cli" --device-root "$dir/root" --fast --nv-dir "$dir/nv" \
        --firmware-dir "$dir/firmware" "$@" >"$dir/cli.out" 2>"$dir/cli.err"
    local rc=$?
    local took=$((SECONDS - started))
    kill -TERM "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null
    local last
    last=$(tail -n 1 "$dir/cli.out" | tr -d '\r')
    local verdict=pass why=""
    if [[ $rc -ne $rc_want ]] || ! grep -Eq -- "$re_want" <<<"$last"; then
        verdict=FAIL why="outcome"
    fi
    if declare -F "check_$name" >/dev/null && ! (cd "$dir" && "check_$name"); then
        verdict=FAIL why="${why:+$why, }check_$name"
    fi
    local nvcheck
    if ! nvcheck=$(python3 "$MATRIX/nvcheck.py" "$dir" "$dir/before.nvm" "$kind" "$rc" 2>&1); then
        verdict=FAIL why="${why:+$why, }$nvcheck"
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$rc_want: $re_want" "$rc: $last" "$took" "$verdict" \
        "$why" >"$dir/row.tsv"
}

# ---- the NV check ----
cat >"$MATRIX/nvcheck.py" <<'PY'
import glob, json, os, sys
row, earlier_path, kind, rc = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
earlier = open(earlier_path, 'rb').read()
files = sorted(glob.glob(os.path.join(row, 'nv', 'Channel1*.nvm')))
if not any(open(f, 'rb').read() == earlier for f in files):
    sys.exit('the earlier backup is lost')
def whole(data):
    if len(data) != 850 * 136:
        return False
    return any(int.from_bytes(data[i * 136:i * 136 + 2], 'little') == 9999 for i in range(850))
current = os.path.join(row, 'nv', 'Channel1.nvm')
if os.path.exists(current):
    data = open(current, 'rb').read()
    if data != earlier and not whole(data):
        sys.exit('Channel1.nvm is not a whole NVM file')
leftovers = [f for f in os.listdir(os.path.join(row, 'nv'))
             if f.endswith(('.tmp', '.part', '.partial'))]
if leftovers:
    sys.exit('temporary files left: %s' % leftovers)
if kind == 'update' and rc == 0:
    r = json.load(open(os.path.join(row, 'report.json')))
    if not r.get('updateFinished'):
        sys.exit('the stick did not see the end of the update')
    fw = os.path.join(row, 'firmware')
    import hashlib
    md5 = lambda n: hashlib.md5(open(os.path.join(fw, n), 'rb').read()).hexdigest()
    images = {img['type']: img for img in r['images']}
    for t, n in {0x0F: 'dbl.mbn', 0x11: 'fsbl.mbn', 0x10: 'osbl.mbn', 0x14: 'nandprgcombined.mbn'}.items():
        img = images.get(t)
        if not img or img['md5'] != md5(n) or img['gaps']:
            sys.exit(n + ' not in the stick as its file')
    for n in ('amss.mbn', 'efs.mbn'):
        if not any(i['md5'] == md5(n) and not i['gaps'] for i in r['images']):
            sys.exit(n + ' not in the stick as its file')
    data = open(os.path.join(row, 'nv', 'Channel1.nvm'), 'rb').read()
    backup = {}
    for i in range(850):
        rec = data[i * 136:(i + 1) * 136]
        item = int.from_bytes(rec[0:2], 'little')
        if item >= 9999:
            break
        if int.from_bytes(rec[132:134], 'little') == 0:
            backup[item] = rec[4:132]
    last = {w['id']: bytes.fromhex(w['data']) for w in r['nvWrites'] if w['status'] == 0}
    missing = [i for i in backup if last.get(i) != backup[i]]
    if len(backup) < 400 or missing:
        sys.exit('NV items not restored as read: %s' % missing[:5])
PY

# ---- the earlier backup every row starts with ----
# A backup of the stick with one data byte changed: the stick's next backup differs from it, so
# the program must keep it as a time-stamped copy rather than overwrite it.
mkdir -p "$MATRIX/base/nv" "$MATRIX/base/root"
"$SIM" --root "$MATRIX/base/root" --fast >"$MATRIX/base/sim.log" 2>&1 &
base_sim=$!
for _ in $(seq 100); do
    ls "$MATRIX/base/root"/COM* >/dev/null 2>&1 && [[ -e "$MATRIX/base/root/registry.reg" ]] && break
    sleep 0.1
done
timeout 600 "$CLI" --device-root "$MATRIX/base/root" --fast --nv-dir "$MATRIX/base/nv" backup-nv \
    >"$MATRIX/base/cli.out" 2>&1
kill -TERM "$base_sim" 2>/dev/null
wait "$base_sim" 2>/dev/null
[[ -s "$MATRIX/base/nv/Channel1.nvm" ]] || {
    echo "the first backup failed:" >&2
    cat "$MATRIX/base/cli.out" >&2
    exit 2
}
python3 - "$MATRIX/base/nv/Channel1.nvm" "$MATRIX/earlier.nvm" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
data[4 + 10] ^= 0x5A  # a data byte of the first record
open(sys.argv[2], 'wb').write(data)
PY

# ---- set-ups of the file rows ----
missing_image() { rm firmware/amss.mbn; }
short_image() { truncate -s 1 firmware/amss.mbn; }
cut_image() { truncate -s 100 firmware/amss.mbn; }
oversized_image() { truncate -s 80M firmware/efs.mbn; }
short_nvm() { truncate -s 1000 nv/Channel1.nvm; }
long_nvm() { truncate -s 115601 nv/Channel1.nvm; }
wrong_settings() {
    mkdir -p bin
    cp "$CLI" bin/pellan-cli
    head -c 1000 /dev/zero >bin/WCDMA_DL_Setting.cfg
}
# The wrong-size settings file is reported and then left as it was (defaults are used).
check_settings-wrong-size() {
    grep -q 'is 1000 bytes long instead of 47456' cli.err && cmp -s bin/WCDMA_DL_Setting.cfg \
        <(head -c 1000 /dev/zero)
}

# The stick that never comes back after the restart into its download mode: the job searches for
# its ports without limit (after 300 searches, about 3 s with --fast, it asks for the stick to be
# pulled out and plugged in again, and goes on searching). The row expects the prompt and the
# program still searching when it is stopped; the NV backup is never started, so the earlier one
# must be there as it was.
check_stick-never-returns() {
    grep -qx 'Please pull out the modem, then inserts it again! The downloading operation will go on!' \
        cli.err && python3 -c '
import json, sys
r = json.load(open("report.json"))
sys.exit(0 if not r["present"] and r["enumerations"] == 1 and r["commandCounts"].get("ResetPhone") else 1)'

}

# ---- the rows ----
# NAME|KIND|RC REGEX|SETUP|SIMULATOR OPTIONS|COMMAND[|LIMIT IN SECONDS, default 600]
# The stick silent from the 40th stream write on (in the OSBL image) costs the time-outs of the
# programming cycle, which --fast leaves as they are: the OSBL blocks still to send wait 3 s each
# for an acknowledgement, the close 3 x 10 s, the one repeat of the OSBL write two failed opens of
# 2 x 25 s; then nine more attempts, each a close (3 x 10 s) and two nops (10 s each): about
# 10 minutes in all before "Download fail...". Hence its longer limit.
OK_UPDATE=(0 "$SUCCESS_RE")
rows=(
    "ack-lost-1%|update|${OK_UPDATE[*]}|none|--drop-ack-fraction 0.01 --seed 3|update"
    "ack-lost-5%|update|${OK_UPDATE[*]}|none|--drop-ack-fraction 0.05 --seed 4|update"
    "ack-lost-20%|update|${OK_UPDATE[*]}|none|--drop-ack-fraction 0.20 --seed 5|update"
    "ack-corrupted|update|${OK_UPDATE[*]}|none|--corrupt-ack 0x400,0x8000|update"
    "stream-error-reply|update|${OK_UPDATE[*]}|none|--error-block 0x800|update"
    "dmss-nak-once|update|${OK_UPDATE[*]}|none|--nak-dload-write 0x008003F9 --nak-times 1|update"
    "dmss-nak-always|update|1 ^Download armprg512\.bin fail!$|none|--nak-dload-write 0x008003F9|update"
    "stick-never-returns|update|124 ——Downloading\\.\\.\\.$|none|--never-return|update|40"
    "stick-silent-mid-image|update|1 ^Download fail, please check the log file to get fail information!$|none|--stop-at StreamWrite:40|update|900"
    "garbage-reply|update|${OK_UPDATE[*]}|none|--garbage-at StreamWrite:20|update"
    "corrupt-reply|update|${OK_UPDATE[*]}|none|--corrupt-at ReadNvItem:7|update"
    "slow-nv-read|update|${OK_UPDATE[*]}|none|--delay-at ReadNvItem:9 --delay-ms 2500|update"
    "slow-stream-write|update|${OK_UPDATE[*]}|none|--delay-at StreamWrite:30 --delay-ms 3000|update"
    "imei-zero|update|1 ^IMEI is not exist, not allowed to download!$|none|--imei-zero|update"
    "foreign-model|update|1 ^Current line device can not use this download tool!$|none|--model ZX900B|update"
    "nv-writes-inactive|nv|${OK_UPDATE[*]}|none|--nv-write-status-all 5|update"
    "nv-writes-refused|update|1 ^Restore NV fail!$|none|--nv-write-status-all 6|update"
    "image-missing|update|1 ^cannot read .*/amss\.mbn$|missing_image||update"
    "image-short|update|1 ^Line1: Open wrong amss\.mbn! $|short_image||update"
    "image-cut|update|${OK_UPDATE[*]}|cut_image||update"
    "image-oversized|update|${OK_UPDATE[*]}|oversized_image||update"
    "settings-wrong-size|update|${OK_UPDATE[*]}|wrong_settings||update"
    "nvm-short|nv|1 ^Restore NV fail!$|short_nvm||restore-nv"
    "nvm-long|nv|1 ^Restore NV fail!$|long_nvm||restore-nv"
)

mkdir -p "$MATRIX/rows"
running=0
for row in "${rows[@]}"; do
    IFS='|' read -r name kind expect setup simopts command limit <<<"$row"
    grep -Eq -- "$PATTERN" <<<"$name" || continue
    rc_want=${expect%% *}
    re_want=${expect#* }
    # shellcheck disable=SC2086
    run_row "$name" "$kind" "$rc_want" "$re_want" "$setup" "${limit:-600}" $simopts -- $command &
    running=$((running + 1))
    if ((running >= JOBS)); then
        wait -n
        running=$((running - 1))
    fi
done
wait

printf '%-24s | %-60s | %-60s | %5s | %s\n' fault expected observed secs pass
printf '%s\n' "$(printf -- '-%.0s' {1..168})"
failed=0
for tsv in "$MATRIX"/rows/*/row.tsv; do
    IFS=$'\t' read -r name expected observed took verdict why <"$tsv"
    printf '%-24s | %-60.60s | %-60.60s | %5s | %s %s\n' "$name" "$expected" "$observed" "$took" \
        "$verdict" "$why"
    [[ $verdict == pass ]] || failed=$((failed + 1))
done
if [[ -n ${PELLAN_MATRIX_KEEP:-} ]]; then
    cp -r "$MATRIX/rows" "$PELLAN_MATRIX_KEEP"
fi
echo "wall time: $SECONDS s"
((failed == 0)) || { echo "$failed row(s) failed"; exit 1; }
echo "all rows passed"
