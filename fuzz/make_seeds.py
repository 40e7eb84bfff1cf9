#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Link targets take a selector byte first: bit 0 frames the rest (CRC and stuffing done by the
target), bit 1 adds a leading flag, bits 2..7 choose the command. Run again after changing a
target's input format; the files are small and kept in the repository.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(bytes(data))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return (~crc) & 0xFFFF


def frame(body, leading=False):
    raw = bytes(body) + struct.pack('<H', crc16(body))
    out = bytearray([0x7E] if leading else [])
    for b in raw:
        if b in (0x7E, 0x7D):
            out += bytes([0x7D, b ^ 0x20])
        else:
            out.append(b)
    out.append(0x7E)
    return bytes(out)


def sel(choice, framed=True, leading=False):
    return bytes([(choice << 2) | (1 if framed else 0) | (2 if leading else 0)])


# ---- DIAG: replies by the command the selector picks ----
nv_reply = bytes([0x26]) + struct.pack('<H', 550) + bytes([8, 0x3A] + [0x85] * 7 + [0] * 119) + \
    struct.pack('<H', 0)
version_set = bytes([0x39]) + b''.join((b'HX402A_V1.0.3_B05'.ljust(31, b'\0')) for _ in range(9)) + \
    b'\0' * 23
diag = {
    0: bytes([0x01, 0xB2, 0xA1, 0x34, 0x80]),
    1: bytes([0x01, 0xB2, 0xA1, 0x34, 0x80]),
    2: bytes([0x7C]) + bytes(11) + b'HX402A build'.ljust(256, b'\0'),
    3: bytes([0x38]) + b'HX402A_V1.0.3'.ljust(21, b'\0') + b'Dec 06 2026'.ljust(12, b'\0') +
    b'12:00:00'.ljust(9, b'\0'),
    4: version_set,
    5: nv_reply,
    6: bytes([0x27]) + nv_reply[1:],
    7: nv_reply,
    8: bytes([0x4B, 0xA3, 0x05, 0x00, 0x00]),
    9: bytes([0x4B, 0xA3, 0x06, 0x00]) + bytes(range(8)),
    10: bytes([0x0C, 0x00]),
    11: bytes([0x3A]),
    12: bytes([0x41, 0x01]),
    13: bytes([0x4B, 0xA3, 0x02, 0x00, 0x00]),
    14: bytes([0x4B, 0xA3, 0x07, 0x00, 0x00]),
    15: bytes([0x29, 0x01, 0x00]),
}
for choice, body in diag.items():
    write('fuzz_diag_reply', 'framed-%02d' % choice, sel(choice) + body)
write('fuzz_diag_reply', 'raw-decode', sel(0, framed=False) + frame(diag[5]))
write('fuzz_diag_reply', 'raw-short-nv', sel(5, framed=False) + frame(nv_reply[:20]))

# ---- DMSS ----
params = bytes([0x0E, 0x01, 0x00, 0x40, 0x00, 0x00, 0x00, 0x01, 0x00]) + b'NAND flash'.ljust(20, b'\0')
dmss = [bytes([0x02]), bytes([0x02]), bytes([0x02]), bytes([0x02]), bytes([0x02]), bytes([0x02]),
        params]
for choice, body in enumerate(dmss):
    write('fuzz_dmss_reply', 'framed-%02d' % choice, sel(choice, leading=True) + body)
write('fuzz_dmss_reply', 'nak', sel(1, leading=True) + bytes([0x03, 0x00, 0x06]))
write('fuzz_dmss_reply', 'raw-nak', sel(0, framed=False) + frame(bytes([0x03, 0x00, 0x02]), True))

# ---- streaming ----
hello = bytes([0x02]) + b'QCOM fast download protocol targ' + bytes([3, 2, 0, 0, 0, 4, 0, 0x10, 4, 0])
stream = [hello, hello, bytes([0x18, 0x00]), bytes([0x1A, 0x00]), bytes([0x1C, 0x00]),
          bytes([0x16]), bytes([0x0A]), bytes([0x0C]), bytes([0x08, 0x00, 0x04, 0x00, 0x00]),
          bytes([0x08, 0x00, 0x08, 0x00, 0x00])]
for choice, body in enumerate(stream):
    write('fuzz_stream_reply', 'framed-%02d' % choice, sel(choice, leading=True) + body)
write('fuzz_stream_reply', 'error', sel(8, leading=True) + bytes([0x0D, 0x04, 0, 0, 0]) + b'bad')
write('fuzz_stream_reply', 'partition-1', sel(3, leading=True) + bytes([0x1A, 0x01]))

# ---- the acknowledgement scan: [length][body] chunks, each framed with its own flag ----
def ack(address):
    return bytes([0x08]) + struct.pack('<I', address)

chunks = b''.join(bytes([5]) + ack(a * 1024) for a in range(70))
write('fuzz_stream_scan', 'seventy-acks', b'\x01' + chunks)
write('fuzz_stream_scan', 'ack-then-error', b'\x01' + bytes([5]) + ack(0) + bytes([5]) +
      bytes([0x0D, 0x02, 0, 0, 0]))
write('fuzz_stream_scan', 'raw-shared-flag',
      b'\x00' + frame(ack(0), True) + frame(ack(1024), False) + frame(ack(2048), True))

# ---- AT replies ----
for name, text in {
    'ok': b'\r\nOK\r\n',
    'gmr': b'AT+GMR\r\r\nHX402A_V1.0.3_B05\r\n\r\nOK\r\n',
    'wdiag': b'\r\n+WDIAG: 6\r\n\r\nOK\r\n',
    'error': b'\r\nERROR\r\n',
    'one-pair': b'\r\nHX402A',
}.items():
    write('fuzz_at_reply', name, text)

# ---- registry exports ----
reg = ('Windows Registry Editor Version 5.00\r\n\r\n'
       '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\hxdiag\\Enum]\r\n'
       '"0"="USB\\\\VID_12D1&PID_1001&MI_00\\\\6&1234&0&0000"\r\n"Count"=dword:00000001\r\n\r\n'
       '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_12D1&PID_1001&MI_00\\'
       '6&1234&0&0000\\Device Parameters]\r\n"PortName"="COM5"\r\n@="default"\r\n'
       '; a comment\r\n[HKEY_CURRENT_USER\\Software\\x]\r\n"a"="b"\r\n')
write('fuzz_reg_file', 'utf8', reg.encode())
write('fuzz_reg_file', 'utf8-bom', b'\xef\xbb\xbf' + reg.encode())
write('fuzz_reg_file', 'utf16', b'\xff\xfe' + reg.encode('utf-16-le'))
write('fuzz_reg_file', 'escapes', b'Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n'
      b'"q\\"uote"="back\\\\slash"\n"d"=dword:FFFFFFFF\n')

# ---- settings file (short seeds are tiled to the file's size by the target) ----
record = bytearray(5932)
record[0:20] = b'C:\\fw\\partition.mbn\0'
write('fuzz_settings_file', 'one-record', record)
write('fuzz_settings_file', 'no-terminators', b'A' * 300)

# ---- NVM file ----
def nv_record(item, data=b'', status=0):
    return struct.pack('<HH', item, 0) + data.ljust(128, b'\0') + struct.pack('<HH', status, 0)

write('fuzz_nvm_file', 'end-marker', nv_record(550, b'\x08\x3a') + nv_record(9999))
write('fuzz_nvm_file', 'no-marker', nv_record(550, b'\x08\x3a'))

# ---- amss.mbn ----
# The first byte chooses the scan's block size: 4 * (1 + b % 16) bytes, 0xFF the program's own.
marker = struct.pack('<I', 0x6EBE1A2C)
write('fuzz_location_scan', 'aligned', b'\xff' + bytes(64) + marker + bytes(range(124)))
write('fuzz_location_scan', 'unaligned-then-aligned',
      b'\x01' + bytes(2) + marker + bytes(6) + marker + b'x')
write('fuzz_location_scan', 'cut-short', b'\x00' + bytes(8) + marker + b'short')
write('fuzz_location_scan', 'marker-ends-a-block', b'\x03' + bytes(12) + marker + bytes(130))
write('fuzz_location_scan', 'record-across-blocks', b'\x07' + bytes(28) + marker + bytes(range(124)))
write('fuzz_location_scan', 'none-odd-length', b'\x02' + bytes(range(1, 31)))
