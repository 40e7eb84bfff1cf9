#!/usr/bin/env python3
"""Runs one pellan-cli job on a pseudo-terminal (so that it draws its progress bar), stamps every
progress value and status line as it arrives, and prints the figures of the job:

    <prefix>_wall             seconds from start to exit
    <prefix>_cpu              CPU seconds (user + system) of pellan-cli
    <prefix>_exit             its exit status
    <prefix>_phase_<name>     seconds between the progress marks of a phase (update only)

usage: bench_update.py PREFIX -- pellan-cli ARGS...
"""
import os
import re
import select
import subprocess
import sys
import time

# Phases of the update by the progress values the job sets (first time each is reached).
PHASES = [
    ("checks_switch_rediscovery", None, 7),  # identity, vendor switches, reset, the stick back
    ("nv_backup", 7, 20),
    ("challenge", 20, 21),
    ("enter_download_mode", 21, 22),
    ("armprg_and_programmer", 22, 23),  # fixed waits: 2000 + 1000 ms
    ("security_partition_boot_loaders", 23, 28),  # fixed waits: 2000 + 2000 ms
    ("application_and_nand_programmer", 28, 61),  # fixed wait: 2000 ms
    ("efs", 61, 80),
    ("reset_and_reconnect", 80, 82),
    ("nv_restore", 82, 95),  # fixed waits: 1000 + 1000 ms
    ("return_to_normal", 95, None),
]


def main():
    prefix = sys.argv[1]
    command = sys.argv[sys.argv.index("--") + 1:]
    master, slave = os.openpty()
    start = time.monotonic()
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
    os.close(slave)
    reached = {}
    text = b""
    progress = re.compile(rb"\] (\d+)/100")
    log = open(os.environ.get("BENCH_UPDATE_LOG", os.devnull), "ab")
    while True:
        ready, _, _ = select.select([master], [], [], 1.0)
        if not ready:
            if child.poll() is not None:
                break
            continue
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break  # the child has closed the terminal
        if not chunk:
            break
        now = time.monotonic() - start
        log.write(b"%9.3f " % now + chunk.replace(b"\r\x1b[K", b"\n") + b"\n")
        text += chunk
        for match in progress.finditer(text):
            value = int(match.group(1))
            reached.setdefault(value, now)
        text = text[-64:]
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - start
    print("%s_wall %.3f" % (prefix, wall))
    print("%s_cpu %.3f" % (prefix, usage.ru_utime + usage.ru_stime))
    print("%s_exit %d" % (prefix, os.waitstatus_to_exitcode(status)))

    def first(value):
        if value is None:
            return None
        hits = [t for p, t in reached.items() if p >= value]
        return min(hits) if hits else None

    if max(reached, default=0) < 95:
        return  # not an update: the phases mean nothing
    for name, begin, end in PHASES:
        t0 = 0.0 if begin is None else first(begin)
        t1 = wall if end is None else first(end)
        if t0 is not None and t1 is not None and reached:
            print("%s_phase_%s %.3f" % (prefix, name, t1 - t0))


if __name__ == "__main__":
    main()
