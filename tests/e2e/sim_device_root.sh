#!/usr/bin/env bash
# pellan-stick-sim --root DIR publishes a stick that a client knowing only the device-root
# contract (registry.reg in the registry export format, DIR/COM<N> nodes) can find and talk to;
# its report names every command it received; SIGTERM takes the ports away again.
set -euo pipefail
BUILD_DIR=${1:?usage: $0 BUILD_DIR}
SIM="$BUILD_DIR/apps/pellan-stick-sim/pellan-stick-sim"
[[ -x "$SIM" ]] || { echo "missing $SIM (build it first)" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 is needed" >&2; exit 1; }

WORK=$(mktemp -d)
ROOT="$WORK/root"
REPORT="$WORK/report.json"
SIM_PID=""
cleanup() {
    [[ -n "$SIM_PID" ]] && kill -TERM "$SIM_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    cat "$WORK/sim.log" >&2 2>/dev/null || true
    exit 1
}

# A usage error is exit status 2.
set +e
"$SIM" --imei 123 >/dev/null 2>&1
[[ $? -eq 2 ]] || fail "a usage error must exit with 2"
set -e

"$SIM" --root "$ROOT" --fast --report "$REPORT" --diag-port 12 --at-port 3 \
    --renumber >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do
    [[ -e "$ROOT/registry.reg" && -e "$ROOT/COM12" ]] && break
    sleep 0.1
done
[[ -e "$ROOT/registry.reg" ]] || fail "no registry.reg"

# The client: discovery and exchanges from the contract alone.
cat >"$WORK/client.py" <<'PY'
import os, re, select, sys, termios, time, tty

root = sys.argv[1]

def registry():
    text = open(os.path.join(root, 'registry.reg'), encoding='utf-8').read()
    lines = text.splitlines()
    assert lines[0] == 'Windows Registry Editor Version 5.00', lines[0]
    keys, key = {}, None
    for line in lines[1:]:
        if line.startswith('[') and line.endswith(']'):
            key = keys.setdefault(line[1:-1].lower(), {})
        elif line.startswith('"'):
            m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
            name, value = m.group(1), m.group(2)
            if value.startswith('dword:'):
                key[name.lower()] = int(value[6:], 16)
            else:
                key[name.lower()] = value[1:-1].replace('\\"', '"').replace('\\\\', '\\')
    return keys

def port_of(service):
    keys = registry()
    enum = keys['hkey_local_machine\\system\\currentcontrolset\\services\\%s\\enum' % service.lower()]
    instance = enum[str(enum['count'] - 1)]
    params = keys[('hkey_local_machine\\system\\currentcontrolset\\enum\\%s\\device parameters' % instance).lower()]
    return int(params['portname'][3:])

def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return ~crc & 0xFFFF

def frame(body):
    c = crc16(body)
    raw = bytes(body) + bytes([c & 0xFF, c >> 8])
    out = bytearray()
    for b in raw:
        if b in (0x7E, 0x7D):
            out += bytes([0x7D, b ^ 0x20])
        else:
            out.append(b)
    return bytes(out) + b'\x7e'

def unframe(data):
    assert data.endswith(b'\x7e'), data
    out, esc = bytearray(), False
    for b in data[:-1]:
        if esc:
            out.append(b ^ 0x20); esc = False
        elif b == 0x7D:
            esc = True
        else:
            out.append(b)
    assert crc16(out[:-2]) == out[-2] | (out[-1] << 8), 'bad CRC'
    return bytes(out[:-2])

def exchange(fd, data, until):
    termios.tcflush(fd, termios.TCIOFLUSH)
    os.write(fd, data)
    got, deadline = b'', time.time() + 3
    while not until(got) and time.time() < deadline:
        if select.select([fd], [], [], 0.05)[0]:
            got += os.read(fd, 4096)
    return got

def open_port(n):
    fd = os.open(os.path.join(root, 'COM%d' % n), os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    return fd

PY
python3 - "$ROOT" "$WORK/client.py" <<'PY' || fail "contract client failed"
import sys
exec(open(sys.argv[2]).read())
diag, at = port_of('VLKusbser6k'), port_of('VLKusbnmea')
assert (diag, at) == (12, 3), (diag, at)
fd = open_port(diag)
reply = unframe(exchange(fd, frame([0x01]), lambda g: g.endswith(b'\x7e')))
assert reply[0] == 0x01 and len(reply) == 5, reply
echo = exchange(fd, b'AT$QCDMG\r', lambda g: len(g) >= 15)
assert echo == b'AT$QCDMG\r\r\nOK\r\n', echo
fa = open_port(at)
gmr = exchange(fa, b'AT+GMR\r', lambda g: g.endswith(b'OK\r\n'))
assert gmr.startswith(b'AT+GMR\r\r\n+GMR: '), gmr
# A reset takes the ports away and brings them back renumbered.
reply = unframe(exchange(fd, frame([0x29, 0x02, 0x00]), lambda g: g.endswith(b'\x7e')))
assert reply == b'\x29\x02\x00', reply
os.close(fd); os.close(fa)
deadline = time.time() + 10
while time.time() < deadline:
    try:
        if port_of('VLKusbser6k') == 22:
            break
    except KeyError:
        pass
    time.sleep(0.02)
assert port_of('VLKusbser6k') == 22 and port_of('VLKusbnmea') == 13
assert not os.path.exists(os.path.join(root, 'COM12'))
fd = open_port(22)
reply = unframe(exchange(fd, frame([0x01]), lambda g: g.endswith(b'\x7e')))
assert reply[0] == 0x01
os.close(fd)
PY

# On demand (SIGUSR1) and on exit (SIGTERM) the report names every command received.
kill -USR1 "$SIM_PID"
sleep 0.3
python3 - "$REPORT" <<'PY' || fail "report on demand"
import json, sys
r = json.load(open(sys.argv[1]))
names = [c['name'] for c in r['commands'] for _ in range(c['count'])]
assert names == ['ReadEsn', 'EnterDiagByAt', 'AT+GMR', 'ResetPhone', 'ReadEsn'], names
assert r['ports'] == {'diag': 22, 'at': 13, 'diagHidden': False}, r['ports']
assert r['enumerations'] == 2
PY
kill -TERM "$SIM_PID"
wait "$SIM_PID" || fail "the simulator did not exit cleanly"
SIM_PID=""
[[ ! -e "$ROOT/COM22" && ! -e "$ROOT/COM13" ]] || fail "ports left behind after SIGTERM"
grep -q VLKusbser6k "$ROOT/registry.reg" && fail "registry entries left behind after SIGTERM"
python3 -c "import json,sys; r=json.load(open(sys.argv[1])); assert r['commandCounts']['ReadEsn'] == 2" \
    "$REPORT" || fail "final report"

# --exit-after-update: the program ends by itself once the stick is back after an update's final
# reset (flash written, vendor mode 0, ResetPhone).
rm -rf "$ROOT"
"$SIM" --root "$ROOT" --fast --report "$REPORT" --exit-after-update >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do
    [[ -e "$ROOT/COM5" ]] && break
    sleep 0.1
done
python3 - "$ROOT" "$WORK/client.py" <<'PY' || fail "update client failed"
import sys
exec(open(sys.argv[2]).read())

def wait_port(n, probe):
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            fd = open_port(n)
            if probe(fd):
                return fd
            os.close(fd)
        except (OSError, AssertionError):
            pass  # not there yet, or still the stick before its restart (which may not answer)
        time.sleep(0.05)
    raise AssertionError('COM%d did not come back' % n)

def ask(fd, body, leading):
    data = frame(body)
    got = exchange(fd, (b'\x7e' if leading else b'') + data, lambda g: len(g) > 1 and g.endswith(b'\x7e'))
    return unframe(got.lstrip(b'\x7e'))

fd = open_port(5)
assert ask(fd, [0x3A], False) == b'\x3a'
os.close(fd)
time.sleep(0.1)
fd = wait_port(5, lambda f: ask(f, [0x06], True) == b'\x02')
prog = bytes(range(256)) * 4
assert ask(fd, [0x0F, 0x00, 0x80, 0x00, 0x00, 0x04, 0x00] + list(prog), True) == b'\x02'
assert ask(fd, [0x05, 0x00, 0x80, 0x00, 0x00], True) == b'\x02'
assert ask(fd, [0x1B, 0x14], True)[0] == 0x1C
assert ask(fd, [0x07, 0, 0, 0, 0] + list(prog), True) == b'\x08\x00\x00\x00\x00'
assert ask(fd, [0x15], True) == b'\x16'
assert ask(fd, [0x0B], True) == b'\x0c'
os.close(fd)
time.sleep(0.1)
fd = wait_port(5, lambda f: ask(f, [0x01], False)[0] == 0x01)
assert ask(fd, [0x29, 0x02, 0x00], False) == b'\x29\x02\x00'
os.close(fd)
PY
for _ in $(seq 100); do
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$SIM_PID" 2>/dev/null && fail "--exit-after-update: still running after the final reset"
wait "$SIM_PID" || fail "--exit-after-update: exit status $?"
SIM_PID=""
python3 -c "import json,sys; r=json.load(open(sys.argv[1])); assert r['updateFinished'] and r['images'][0]['type'] == 0x14" \
    "$REPORT" || fail "report after the update"
echo PASS
