#!/usr/bin/env python3
"""Keeps Wine's registry in step with a simulated stick's DIR/registry.reg.

pellan-stick-sim rewrites DIR/registry.reg (atomically) whenever its stick comes or goes. Each new
content is imported into the Wine prefix with `reg import`, preceded by the deletion of every key
this helper ever imported, so that keys of a stick that went away (a port renumbered, the boot
downloader's interface) do not linger in Wine's registry. The keys ever imported are remembered in
the prefix (pellan-reg-sync.keys), so a later run also clears what an earlier one left.

Usage: win-reg-sync.py --wine WINE --file DIR/registry.reg [--once] [--stop-file F]
The environment (WINEPREFIX, WINEDEBUG) is passed on to Wine. Prints one line per import.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

HEADER = "Windows Registry Editor Version 5.00"


def keys_of(text):
    keys = []
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]") and not line.startswith("[-"):
            keys.append(line[1:-1])
    return keys


def windows_path(path):
    # Wine's drive Z: is the Linux root.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Syncer:
    def __init__(self, wine, prefix):
        self.wine = wine
        self.memory = os.path.join(prefix, "pellan-reg-sync.keys")
        self.known = set()
        if os.path.exists(self.memory):
            with open(self.memory, encoding="utf-8") as f:
                self.known = {line.rstrip("\n") for line in f if line.strip()}

    def apply(self, text):
        current = keys_of(text)
        self.known.update(current)
        with open(self.memory, "w", encoding="utf-8") as f:
            f.writelines(key + "\n" for key in sorted(self.known))
        # Deepest keys first, so that a parent goes after its children.
        deletions = sorted(self.known, key=lambda k: k.count("\\"), reverse=True)
        body = text.split("\n", 1)[1] if text.startswith(HEADER) else ""
        script = HEADER + "\r\n\r\n"
        script += "".join("[-%s]\r\n\r\n" % key for key in deletions)
        script += body.replace("\r\n", "\n").replace("\n", "\r\n")
        handle, path = tempfile.mkstemp(suffix=".reg")
        try:
            with os.fdopen(handle, "w", encoding="latin-1", newline="") as f:
                f.write(script)
            result = subprocess.run([self.wine, "reg", "import", windows_path(path)],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        finally:
            os.unlink(path)
        if result.returncode != 0:
            print("reg import failed (%d): %s" % (result.returncode, result.stdout.strip()),
                  flush=True)
            return False
        print("imported %d keys" % len(current), flush=True)
        return True


def read(path):
    try:
        with open(path, encoding="latin-1") as f:
            return f.read()
    except FileNotFoundError:
        return HEADER + "\n"  # a missing file is an empty registry


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--file", required=True)
    parser.add_argument("--once", action="store_true")
    parser.add_argument("--stop-file")
    parser.add_argument("--poll-ms", type=int, default=20)
    args = parser.parse_args()
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        sys.exit("win-reg-sync: WINEPREFIX is not set")
    syncer = Syncer(args.wine, prefix)
    last = None
    while True:
        text = read(args.file)
        if text != last:
            if syncer.apply(text):
                last = text
        if args.once:
            return
        if args.stop_file and os.path.exists(args.stop_file):
            return
        time.sleep(args.poll_ms / 1000.0)


if __name__ == "__main__":
    main()
