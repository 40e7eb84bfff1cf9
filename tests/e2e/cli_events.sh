#!/usr/bin/env bash
# The job's account as pellan-cli and the job log show it. An update with acknowledgements
# dropped, with --json: every object of the documented schema, the phases in order with whole
# counts, the rewritten blocks as the stick counted them, the result last. An update whose every
# programming cycle fails: the cycles repeat in the account. An update that fails
# in the RAM programmer: its log file keeps every status line from the first, the header with the
# firmware set and the version read, the failing phase, its retries and the failure text.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"
HERE=$(cd "$(dirname "$0")" && pwd)
python3 -c 'import jsonschema' 2>/dev/null || { echo "python3-jsonschema is needed" >&2; exit 1; }

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/nv"
start_sim --drop-ack-fraction 0.05 --seed 3
run_cli --json --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim
[[ $CLI_RC -eq 0 ]] || fail "exit status $CLI_RC, expected 0"
python3 "$HERE/events_check.py" "$WORK/cli.out" "$HERE/../../docs/cli-events.schema.json" \
    "$REPORT" || fail "the JSON events do not hold"

# Every programming cycle fails in the DBL image: the cycles repeat, each with its retry.
rm -rf "$WORK/nv" "$ROOT"
mkdir -p "$WORK/nv"
start_sim --error-block 0x800 --block-faults-always --block-fault-type 0x0F
run_cli --json --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim
[[ $CLI_RC -eq 1 ]] || fail "exit status $CLI_RC, expected 1"
python3 "$HERE/events_check.py" "$WORK/cli.out" "$HERE/../../docs/cli-events.schema.json" \
    "$REPORT" failing-cycles || fail "the JSON events of the failing cycles do not hold"

rm -rf "$WORK/nv" "$ROOT"
mkdir -p "$WORK/nv"
start_sim --nak-dload-write 0x008003F9
run_cli --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim
[[ $CLI_RC -eq 1 ]] || fail "exit status $CLI_RC, expected 1"
log=$(ls "$WORK/nv/Logs"/Line1_*.log)
expect() { grep -Eq -- "$1" "$log" || fail "the log file has no line matching: $1"; }
expect '^pellan [0-9.]+ job log$'
expect '^Job: update on line 1, started '
[[ $(grep -Ec '^  [a-z]+\.(mbn|bin)  [0-9]+ bytes  MD5 [0-9a-f]{32}$' "$log") -eq 8 ]] ||
    fail "the header does not list the eight images with their digests"
expect '^Stick: port COM5, location Port_#0001\.Hub_#0001, current version HX402A_V1\.0\.3_B05,'
expect '^Current Version : HX402A_V1\.0\.3_B05$'
before=$(sed -n '1,/^Current Version : /p' "$log" | grep -c -- '——Downloading\.\.\.$' || true)
((before >= 5)) || fail "the status lines before the header's replacement are gone ($before)"
expect '^== [0-9:]+ stick: port COM5, .*IMEI [0-9]{15}$'
expect '^== [0-9:]+ NV backup: .*Channel1\.nvm, MD5 [0-9a-f]{32}$'
[[ $(grep -Ec '^== [0-9:]+ retry in boot downloader and RAM programmer: .+' "$log") -ge 2 ]] ||
    fail "the programmer's retries are not in the log"
expect '^== [0-9:]+ failed: boot downloader and RAM programmer \([0-9.]+ s\)$'
expect '——Download armprg512\.bin fail!$'
[[ $(tail -n 1 "$log") =~ ^==\ [0-9:]+\ result:\ failure,\ code\ 4,\ after\ .*:\ Download\ armprg512\.bin\ fail!$ ]] ||
    fail "the log does not end with the result: $(tail -n 1 "$log")"
echo "PASS"
