#!/usr/bin/env bash
# pellan-cli's other commands and its refusals: usage errors (exit 2), ports, info, the NV jobs,
# and the single-instance test against the connection manager's mutex.
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

# Usage errors: exit 2 and the usage text on standard error, nothing run.
for args in "" "--line 9 update" "--nv-mode 4 update" "--lang fr info" "frobnicate" "--bogus ports" \
    "update --line"; do
    set +e
    # shellcheck disable=SC2086
    "$CLI" $args >"$WORK/cli.out" 2>"$WORK/cli.err"
    rc=$?
    set -e
    [[ $rc -eq 2 ]] || fail "'$args' exited $rc, expected 2"
    grep -q '^usage: pellan-cli' "$WORK/cli.err" || fail "'$args' printed no usage"
done

mkdir -p "$WORK/nv"
start_sim --diag-port 12 --at-port 3

run_cli ports
[[ $CLI_RC -eq 0 ]] || fail "ports exited $CLI_RC"
grep -qx 'DIAG port: COM12' "$WORK/cli.out" && grep -qx 'AT port: COM3' "$WORK/cli.out" ||
    fail "ports did not print COM12 and COM3"

run_cli info
[[ $CLI_RC -eq 0 ]] || fail "info exited $CLI_RC"
grep -qx 'Identity: HX402A' "$WORK/cli.out" || fail "info did not show the stick's identity"

run_cli --nv-dir "$WORK/nv" backup-nv
[[ $CLI_RC -eq 0 ]] || fail "backup-nv exited $CLI_RC"
[[ $(stat -c %s "$WORK/nv/Channel1.nvm") -eq 115600 ]] || fail "no NVM file of 115,600 bytes"

run_cli --nv-dir "$WORK/nv" restore-nv
[[ $CLI_RC -eq 0 ]] || fail "restore-nv exited $CLI_RC"
[[ "$(last_stdout_line)" == "Restore NV success" ]] || fail "restore-nv ended with $(last_stdout_line)"

# Another program holds the connection manager's mutex: the update is refused before any port is
# touched.
mutex="$ROOT/mutex/VLKHX402,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x66"
mkdir -p "$ROOT/mutex"
flock "$mutex" sleep 30 &
holder=$!
sleep 0.3
run_cli --nv-dir "$WORK/nv" update
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
[[ $CLI_RC -eq 1 ]] || fail "update beside a running UI exited $CLI_RC"
grep -qx 'UI is running，Please close it and re-run this program!' "$WORK/cli.err" ||
    fail "no UI-running message on standard error"
[[ "$(last_stdout_line)" == 'UI is running，Please close it and re-run this program!' ]] ||
    fail "last line: $(last_stdout_line)"

stop_sim
report_check <<'PY'
counts = r['commandCounts']
assert counts.get('SetVendorMode', 0) == 0 and not r['images'], 'the refused update reached the stick'
PY
echo "PASS"
