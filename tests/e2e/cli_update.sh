#!/usr/bin/env bash
# pellan-cli update against the simulated stick: exit 0 with the success text last, every image
# in the stick identical to its file, every NV item of the backup written back as it was read.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

"$MKFIRMWARE" --small "$WORK/firmware" >/dev/null
mkdir -p "$WORK/nv"
start_sim
run_cli --nv-dir "$WORK/nv" --firmware-dir "$WORK/firmware" update
stop_sim

[[ $CLI_RC -eq 0 ]] || fail "exit status $CLI_RC, expected 0"
last_stdout_line | grep -Eq '^Update success!  It costs [0-9]+ minutes and [0-9]+ seconds\.$' ||
    fail "last line is not the success text: $(last_stdout_line)"
grep -q -- '——Downloading\.\.\.$' "$WORK/cli.out" || fail "no time-stamped status lines"
# Not a terminal: the phases on standard error, one line as each begins and ends; standard output
# keeps only the status lines.
grep -Eq '^(begin|end|failed): ' "$WORK/cli.out" && fail "phase lines on standard output"
[[ $(grep -c '^begin: ' "$WORK/cli.err") -eq 20 && $(grep -c '^end: ' "$WORK/cli.err") -eq 20 ]] ||
    fail "not 20 phases begun and ended on standard error"
grep -Eq '^end: application image, cycle 1: 131072 of 131072 bytes \([0-9.]+ s, [0-9.]+ MB/s\)$' \
    "$WORK/cli.err" || fail "the application image's end has no count and rate"
ls "$WORK/nv/Logs"/Line1_*.log >/dev/null 2>&1 || fail "no line log file in the Logs folder"
[[ ! -e "$ROOT/C/Program Files/Windows Service/HX402newversion" ]] ||
    fail "the working folder was not deleted after success"

check_update_report "$WORK/firmware" "$WORK/nv/Channel1.nvm"
echo "PASS"
