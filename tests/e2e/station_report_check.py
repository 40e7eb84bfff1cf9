#!/usr/bin/env python3
# station_report_check.py REPORT FIRMWARE_DIR NV_DIR [REFUSED_STICK]: the simulator's report of
# several sticks after `pellan-cli --lines ... update`. Every stick but REFUSED_STICK (1-based)
# saw the end of an update with every image identical to its file, and got its own NV back: the
# backup file written for it is the one that holds its own IMEI, every item of that file went back
# into it as read, and its whole store is as it was made (no item of another stick in it). The
# refused stick got nothing written and no backup file names it.
import glob, json, os, sys
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from update_report_check import check, nvm_records


def unpack_imei(item):
    return str(item[1] >> 4) + ''.join('%d%d' % (b & 15, b >> 4) for b in item[2:9])


report, fw, nv_dir = sys.argv[1:4]
refused = int(sys.argv[4]) if len(sys.argv) > 4 else 0
sticks = json.load(open(report))['sticks']
backups = {}
for path in sorted(glob.glob(os.path.join(nv_dir, 'Channel*.nvm'))):
    imei = unpack_imei(nvm_records(path)[550])
    assert imei not in backups, '%s and %s hold one IMEI' % (backups[imei], path)
    backups[imei] = path
starts = [s['nv']['startDigest'] for s in sticks]
assert len(set(starts)) == len(starts), 'two sticks were made with one calibration'
locations = [s['location'] for s in sticks]
assert len(set(locations)) == len(locations), 'two sticks in one USB port: %s' % locations
for s in sticks:
    k, imei = s['stick'], s['identity']['imei']
    if k == refused:
        counts = s['commandCounts']
        for name in ('SwitchToDownloader', 'DloadWrite32', 'StreamWrite', 'WriteNvItem'):
            assert counts.get(name, 0) == 0, 'stick %d was refused but got %s' % (k, name)
        assert not s['images'] and not s['nvWrites'], 'something was written to stick %d' % k
        assert s['nv']['digest'] == s['nv']['startDigest'], 'stick %d NV changed' % k
        assert imei not in backups, 'a backup file names the refused stick: %s' % backups[imei]
        print('stick %d: refused, nothing written' % k)
        continue
    assert imei in backups, 'no backup file holds the IMEI %s of stick %d' % (imei, k)
    summary = check(s, fw, backups[imei])
    assert s['imei'] == imei, 'stick %d reads IMEI %s, made with %s' % (k, s['imei'], imei)
    assert s['nv']['digest'] == s['nv']['startDigest'], \
        'stick %d: its NV store is not the one it was made with' % k
    print('stick %d (%s, %s): %s' % (k, s['location'], os.path.basename(backups[imei]), summary))
expected = len(sticks) - (1 if refused else 0)
assert len(backups) == expected, '%d backup files for %d updated sticks' % (len(backups), expected)
