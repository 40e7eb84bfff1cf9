#!/usr/bin/env python3
"""Plays the far end of two serial ports for the Windows serial tests under Wine.

Makes two pseudo-terminals and links them into the Wine prefix as COM<port> and COM<port+1>
(dosdevices/comN), so that "\\\\.\\COM<port>" opened by a Windows program is a Linux pty:
  COM<port>     echoes every byte it receives, each chunk --delay-ms after it arrived;
  COM<port+1>   never reads, so that a writer's queue fills up and its writes stall.
Prints "ready" (and creates --ready-file) once both links exist, and runs until it is terminated,
--stop-file appears or --max-seconds have passed; the links are removed when it ends.
"""
import argparse
import os
import select
import signal
import sys
import time
import tty


def make_pty(link):
    master, slave = os.openpty()
    # Raw before the Windows side configures it: a cooked pty would echo and edit the bytes.
    tty.setraw(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    return master, slave


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True, help="the Wine prefix (WINEPREFIX)")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--delay-ms", type=int, default=150)
    parser.add_argument("--ready-file", help="created once the ports exist")
    parser.add_argument("--stop-file", help="the peer ends when this file appears")
    parser.add_argument("--max-seconds", type=float, default=600.0)
    args = parser.parse_args()
    deadline = time.monotonic() + args.max_seconds

    dosdevices = os.path.join(args.prefix, "dosdevices")
    os.makedirs(dosdevices, exist_ok=True)
    links = [os.path.join(dosdevices, "com%d" % n) for n in (args.port, args.port + 1)]
    echo_master, _echo_slave = make_pty(links[0])
    _stall_master, _stall_slave = make_pty(links[1])

    def finish(*_):
        for path in links + [args.ready_file, args.stop_file]:
            if path and os.path.lexists(path):
                os.unlink(path)
        sys.exit(0)

    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    if args.ready_file:
        open(args.ready_file, "w").close()
    print("ready", flush=True)

    pending = []  # (due time, bytes)
    while True:
        if time.monotonic() > deadline or (args.stop_file and os.path.exists(args.stop_file)):
            finish()
        timeout = 0.1
        if pending:
            timeout = min(timeout, max(0.0, pending[0][0] - time.monotonic()))
        ready, _, _ = select.select([echo_master], [], [], timeout)
        if ready:
            try:
                data = os.read(echo_master, 65536)
            except OSError:
                data = b""  # no slave open at the moment: nothing to echo
            if data:
                pending.append((time.monotonic() + args.delay_ms / 1000.0, data))
            else:
                time.sleep(0.01)
        now = time.monotonic()
        while pending and pending[0][0] <= now:
            os.write(echo_master, pending.pop(0)[1])


if __name__ == "__main__":
    main()
