#!/usr/bin/env bash
# pellan-cli update against the simulated stick: exit 0 with the success text last, every image
# in the stick identical to its file, every NV item of the backup written back as it was read.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/nv"
start_sim
run_cli --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim

[[ $CLI_RC -eq 0 ]] || fail "exit status $CLI_RC, expected 0"
last_stdout_line | grep -Eq '^Update success!  It costs [0-9]+ minutes and [0-9]+ seconds\.$' ||
    fail "last line is not the success text: $(last_stdout_line)"
grep -q -- '——Downloading\.\.\.$' "$WORK/cli.out" || fail "no time-stamped status lines"
ls "$WORK/nv/Logs"/Line1_*.log >/dev/null 2>&1 || fail "no line log file in the Logs folder"
[[ ! -e "$ROOT/C/Program Files/Windows Service/HX402newversion" ]] ||
    fail "the working folder was not deleted after success"

report_check "$WORK/firmware" "$WORK/nv/Channel1.nvm" <<'PY'
import hashlib, os
fw, nvm = sys.argv[2], sys.argv[3]
md5 = lambda name: hashlib.md5(open(os.path.join(fw, name), 'rb').read()).hexdigest()
assert r['updateFinished'], 'the stick did not see the end of an update'
images = {img['type']: img for img in r['images']}
for kind, name in {0x0F: 'dbl.mbn', 0x11: 'fsbl.mbn', 0x10: 'osbl.mbn', 0x14: 'nandprgcombined.mbn'}.items():
    img = images[kind]
    assert img['closed'] and not img['gaps'] and img['conflictingOverlaps'] == 0, (name, img)
    assert img['md5'] == md5(name), name + ' differs from its file'
assert r['ram']['md5'] == md5('armprg.bin'), 'RAM programmer differs from armprg.bin'
assert bytes.fromhex(r['partitionTable']['data'])[:464] == open(os.path.join(fw, 'partition.mbn'), 'rb').read()
others = [img for t, img in images.items() if t not in (0x0F, 0x10, 0x11, 0x14)]
for name in ('amss.mbn', 'efs.mbn'):
    assert any(img['md5'] == md5(name) and not img['gaps'] for img in others), name + ' not in the stick'
data = open(nvm, 'rb').read()
assert len(data) == 850 * 136
backup = {}
for i in range(850):
    rec = data[i * 136:(i + 1) * 136]
    item = int.from_bytes(rec[0:2], 'little')
    if item >= 9999:
        break
    if int.from_bytes(rec[132:134], 'little') == 0:
        backup[item] = rec[4:132]
last = {}
for w in r['nvWrites']:
    assert w['status'] == 0, w
    last[w['id']] = bytes.fromhex(w['data'])
assert len(backup) > 400, 'the backup read almost nothing'
missing = [i for i in backup if last.get(i) != backup[i]]
assert not missing, 'NV items not restored as read: %s' % missing[:10]
PY
echo "PASS"
