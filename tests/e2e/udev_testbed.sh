#!/usr/bin/env bash
# pellan-cli on real Linux hardware as far as a test can have it: no device root, the sticks found
# through libudev in a umockdev test bed (udev_testbed.py) whose tty nodes are umockdev's own
# pseudo-terminals, served by pellan-stick-sim. One stick, then three at once; every restart of an
# update pulls a stick out and plugs it in again with new nodes, in the boot downloader and the
# flash programmer under the download product id with its DIAG port alone. ModemManager is kept off
# every stick through a stand-in mmcli for the length of the update.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"
BED="$(dirname "$0")/udev_testbed.py"
PYTHON=/usr/bin/python3  # Debian's, which has the GObject bindings

command -v umockdev-wrapper >/dev/null ||
    { echo "SKIP: umockdev-wrapper is missing (Debian package umockdev)"; exit 77; }
"$PYTHON" -c 'import gi; gi.require_version("UMockdev", "1.0")' 2>/dev/null ||
    { echo "SKIP: no umockdev bindings for $PYTHON (python3-gi, gir1.2-umockdev-1.0)"; exit 77; }
umockdev-wrapper "$PYTHON" -c 'import gi; gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev
b = UMockdev.Testbed.new()
b.add_from_string("P: /devices/probe/ttyS9\nN: ttyS9\nE: SUBSYSTEM=tty\nA: dev=4:73\n")
assert b.get_dev_fd("/dev/ttyS9") >= 0' 2>/dev/null ||
    { echo "SKIP: umockdev cannot make a pseudo-terminal device here"; exit 77; }

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/bin" "$WORK/home"
mkdir -m 700 "$WORK/runtime"
cat >"$WORK/bin/mmcli" <<MMCLI
#!/bin/sh
echo "\$*" >>"$WORK/mmcli.log"
trap 'echo "released \$*" >>"$WORK/mmcli.log"; exit 0' INT TERM
while :; do sleep 0.05; done
MMCLI
chmod +x "$WORK/bin/mmcli"

# run_bed STICKS [pellan-cli options...]: one update of STICKS mocked sticks in a fresh test bed;
# sets CLI_RC, output in $WORK/cli.{out,err}, the bed's plugs and unplugs in $WORK/bus.log.
run_bed() {
    local sticks=$1
    shift
    rm -f "$WORK/bus.log" "$WORK/mmcli.log" "$REPORT"
    mkdir -p "$WORK/nv$sticks"
    local start=$SECONDS
    set +e
    HOME="$WORK/home" XDG_DATA_HOME="$WORK/home/data" XDG_CONFIG_HOME="$WORK/home/config" \
        XDG_STATE_HOME="$WORK/home/state" XDG_RUNTIME_DIR="$WORK/runtime" PATH="$WORK/bin:$PATH" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
        timeout 400 umockdev-wrapper "$PYTHON" "$BED" --sticks "$sticks" --log "$WORK/bus.log" -- \
        "$SIM" --fast --report "$REPORT" --sticks "$sticks" -- \
        "$CLI" --fast --nv-dir "$WORK/nv$sticks" --firmware-dir "$WORK/firmware" "$@" update \
        >"$WORK/cli.out" 2>"$WORK/cli.err"
    CLI_RC=$?
    set -e
    echo "$sticks stick(s): exit status $CLI_RC after $((SECONDS - start)) s"
    cat "$WORK/bus.log" >>"$WORK/sim.log"
}

# check_bus STICKS: each stick was enumerated afresh at its restarts, with new nodes each time, in
# the download modes under the downloader's ids; and was kept from ModemManager until the end.
check_bus() {
    local stick nodes
    for stick in $(seq "$1"); do
        grep -q "^plug $stick normal 05c6:9000 ttyUSB[0-9]* ttyUSB[0-9]*\$" "$WORK/bus.log" ||
            fail "stick $stick never showed its two ports"
        grep -q "^plug $stick download 05c6:9008 ttyUSB[0-9]*\$" "$WORK/bus.log" ||
            fail "stick $stick never came back as the downloader"
        (($(grep -c "^unplug $stick\$" "$WORK/bus.log") >= 3)) ||
            fail "stick $stick restarted fewer than three times"
        grep -qx -- "--inhibit-device=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-$stick" \
            "$WORK/mmcli.log" || fail "ModemManager was not kept off stick $stick"
        grep -qx -- "released --inhibit-device=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-$stick" \
            "$WORK/mmcli.log" || fail "the inhibition of stick $stick was not released"
    done
    nodes=$(grep -o 'ttyUSB[0-9]*' "$WORK/bus.log" | sort)
    [[ -z "$(uniq -d <<<"$nodes")" ]] || fail "a node name came back: $(uniq -d <<<"$nodes")"
}

run_bed 1
[[ $CLI_RC -eq 0 ]] || fail "one stick: exit status $CLI_RC, expected 0"
last_stdout_line | grep -Eq '^Update success!  It costs [0-9]+ minutes and [0-9]+ seconds\.$' ||
    fail "one stick: the last line is not the success text: $(last_stdout_line)"
check_bus 1
check_update_report "$WORK/firmware" "$WORK/nv1/Channel1.nvm"

run_bed 3 --lines 1,2,3
[[ $CLI_RC -eq 0 ]] || fail "three sticks: exit status $CLI_RC, expected 0"
check_summary 3
check_bus 3
check_station_report "$WORK/firmware" "$WORK/nv3"
echo "PASS"
