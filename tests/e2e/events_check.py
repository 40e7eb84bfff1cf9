#!/usr/bin/env python3
# events_check.py EVENTS SCHEMA REPORT [failing-cycles]: the --json output of an update against
# the simulator. Every line is one object of the documented schema. By default the update had
# acknowledgements dropped: the phases come in the update's order, each ends well with its counts
# whole; the blocks the rewrites report are the stick's extra stream writes; the run ends with its
# result and the final text. With failing-cycles the stick refused a DBL block every time: ten
# cycles each end failed in that boot loader after its retry, and the job fails.
import json, math, sys

import jsonschema

events_file, schema_file, report_file = sys.argv[1:4]
failing_cycles = sys.argv[4:] == ['failing-cycles']
validator = jsonschema.Draft202012Validator(json.load(open(schema_file)))
events = []
for n, text in enumerate(open(events_file), 1):
    obj = json.loads(text)
    errors = list(validator.iter_errors(obj))
    assert not errors, 'line %d: %s' % (n, errors[0].message)
    events.append(obj)

begun = [e for e in events if e['event'] == 'phase-begin']
ends = [e for e in events if e['event'] == 'phase-end']
if failing_cycles:
    in_cycles = [e for e in ends if e['cycle'] > 0]
    expected = [(c, phase) for c in range(1, 11)
                for phase in ('security mode', 'partition table', 'boot loader DBL')]
    assert [(e['cycle'], e['phase_name'].split(',')[0]) for e in in_cycles] == expected, in_cycles
    assert [e['ok'] for e in in_cycles] == [True, True, False] * 10, 'the DBL phases fail'
    retries = [e for e in events if e['event'] == 'retry' and e['cycle'] > 0]
    assert [e['phase_name'] for e in retries] == ['boot loader DBL, cycle %d' % c
                                                  for c in range(1, 11)], retries
    assert all(e['reason'] == 'Write a Block of Data to Memory Failed, Since Operation failed'
               for e in retries), retries
    result, final = events[-2], events[-1]
    assert result['event'] == 'result' and not result['ok'] and result['code'] > 0, result
    assert final['event'] == 'final' and not final['ok'] and final['text'] == result['text']
    print('%d events, 10 failing cycles' % len(events))
    sys.exit(0)

boots = ['boot-loader DBL', 'boot-loader FSBL', 'boot-loader OSBL']
cycle = ['security-mode', 'partition-table'] + boots + ['application', 'nand-programmer', 'efs']
expected = (['identity-check', 'connection-manager-stop', 'mode-switch', 'wait-for-stick',
             'download-check', 'nv-backup', 'security-mode', 'programmer'] + cycle +
            ['reset', 'nv-restore', 'return-to-normal', 'connection-manager-start'])
names = [e['phase'] + (' ' + e['phase_name'].split(',')[0].split()[-1]
                       if e['phase'] == 'boot-loader' else '') for e in begun]
assert names == expected, 'phases %s' % names
assert [e['cycle'] for e in begun] == [0] * 8 + [1] * len(cycle) + [0] * 4, 'cycles'

assert [e['phase'] for e in ends] == [e['phase'] for e in begun], 'every phase ends once'
for end in ends:
    assert end['ok'], 'phase %s failed' % end['phase_name']
    if end['unit']:
        assert end['done'] == end['total'] > 0, 'counts of %s: %s' % (end['phase_name'], end)
by_phase = {}
for e in events:
    if e['event'] == 'phase-progress':
        steps = by_phase.setdefault(e['phase'], [])
        assert not steps or steps[-1] < e['done'], 'progress goes back in %s' % e['phase']
        steps.append(e['done'])
for phase in ('nv-backup', 'application', 'efs', 'nv-restore'):
    assert by_phase.get(phase), 'no progress in ' + phase

report = json.load(open(report_file))
extra = sum(img['writes'] - math.ceil(img['size'] / 1024) for img in report['images']
            if img['type'] not in (0x0F, 0x10, 0x11, 0x14))
rewrites = [e for e in events if e['event'] == 'rewrite']
assert rewrites and all(e['phase'] in ('application', 'efs') and e['blocks'] > 0 and
                        e['reason'].count(' 0x') == e['blocks'] for e in rewrites), rewrites
assert sum(e['blocks'] for e in rewrites) == extra, \
    'rewrites report %d blocks, the stick took %d extra writes' % (
        sum(e['blocks'] for e in rewrites), extra)

stick = next(e['stick'] for e in events if e['event'] == 'stick')
assert stick['imei'] == report['imei'] and stick['esn'] and stick['port'].startswith('COM'), stick
backup = next(e for e in events if e['event'] == 'backup-file')
assert backup['path'].endswith('Channel1.nvm'), backup
assert any(e['event'] == 'status' and e['text'].endswith('——Downloading...') for e in events)
result, final = events[-2], events[-1]
assert result['event'] == 'result' and result['ok'] and result['code'] == 0, result
assert final['event'] == 'final' and final['ok'] and final['text'] == result['text'], final
assert final['text'].startswith('Update success!'), final
print('%d events, %d phases, %d blocks rewritten' % (len(events), len(begun), extra))
