#!/usr/bin/env python3
# update_report_check.py REPORT FIRMWARE_DIR NVM_FILE: the simulator's report after an update.
# The stick saw the end of an update, every image in it is identical to its file of FIRMWARE_DIR,
# and every NV item that the backup NVM_FILE read was written back with the contents read.
# station_report_check.py uses check() on each stick's section of a report of several sticks.
import hashlib, json, os, sys


def nvm_records(nvm):
    """The items of an NVM file that were read (status 0): id -> 128 bytes."""
    data = open(nvm, 'rb').read()
    assert len(data) == 850 * 136, '%s: NVM file of %d bytes' % (nvm, len(data))
    backup = {}
    for i in range(850):
        rec = data[i * 136:(i + 1) * 136]
        item = int.from_bytes(rec[0:2], 'little')
        if item >= 9999:
            break
        if int.from_bytes(rec[132:134], 'little') == 0:
            backup[item] = rec[4:132]
    return backup


def check(r, fw, nvm):
    md5 = lambda name: hashlib.md5(open(os.path.join(fw, name), 'rb').read()).hexdigest()
    assert r['updateFinished'], 'the stick did not see the end of an update'
    images = {img['type']: img for img in r['images']}
    for kind, name in {0x0F: 'dbl.mbn', 0x11: 'fsbl.mbn', 0x10: 'osbl.mbn',
                       0x14: 'nandprgcombined.mbn'}.items():
        img = images[kind]
        assert img['closed'] and not img['gaps'] and img['conflictingOverlaps'] == 0, (name, img)
        assert img['md5'] == md5(name), name + ' differs from its file'
    assert r['ram']['md5'] == md5('armprg.bin'), 'RAM programmer differs from armprg.bin'
    table = open(os.path.join(fw, 'partition.mbn'), 'rb').read()
    assert bytes.fromhex(r['partitionTable']['data'])[:len(table)] == table, 'partition table differs'
    others = [img for t, img in images.items() if t not in (0x0F, 0x10, 0x11, 0x14)]
    for name in ('amss.mbn', 'efs.mbn'):
        assert any(img['md5'] == md5(name) and img['closed'] and not img['gaps'] for img in others), \
            name + ' is not in the stick as its file'
    backup = nvm_records(nvm)
    last = {}
    for w in r['nvWrites']:
        assert w['status'] == 0, w
        last[w['id']] = bytes.fromhex(w['data'])
    assert len(backup) > 400, 'the backup read almost nothing'
    missing = [i for i in backup if last.get(i) != backup[i]]
    assert not missing, 'NV items not restored as read: %s' % missing[:10]
    return ('images identical to their files; %d NV items restored as read; %d enumerations; '
            'ports %s' % (len(backup), r['enumerations'], r['ports']))


if __name__ == '__main__':
    print(check(json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3]))
