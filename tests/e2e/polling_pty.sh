#!/usr/bin/env bash
# A polling line against pellan-stick-sim over pseudo-terminals: it finds the stick, shows its
# port and version, and follows it twice when the stick re-enumerates under other port numbers.
set -euo pipefail

BUILD_DIR=${1:?usage: $0 BUILD_DIR}
SIM="$BUILD_DIR/apps/pellan-stick-sim/pellan-stick-sim"
TESTS="$BUILD_DIR/tests/test_discovery"
for program in "$SIM" "$TESTS"; do
    [[ -x "$program" ]] || { echo "missing $program (build it first)" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "python3 is needed to read the simulator's report" >&2; exit 1; }

WORK=$(mktemp -d)
ROOT="$WORK/root"
REPORT="$WORK/report.json"
VERSION="HX402A_PTY_POLL_V7"
SIM_PID=""
stop_sim() {
    if [[ -n "$SIM_PID" ]]; then
        kill -TERM "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
        SIM_PID=""
    fi
}
trap 'stop_sim; rm -rf "$WORK"' EXIT

fail() {
    echo "FAIL: $*" >&2
    tail -n 40 "$WORK/poll.out" >&2 2>/dev/null || true
    tail -n 20 "$WORK/sim.log" >&2 2>/dev/null || true
    exit 1
}

mkdir -p "$ROOT"
"$SIM" --root "$ROOT" --fast --renumber --version "$VERSION" --report "$REPORT" >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do
    [[ -e "$ROOT/registry.reg" ]] && ls "$ROOT"/COM* >/dev/null 2>&1 && break
    sleep 0.1
done
ls "$ROOT"/COM* >/dev/null 2>&1 || fail "the simulator did not publish its ports"
[[ -L "$ROOT/COM5" ]] || fail "the stick is not on COM5 at the start"

set +e
PELLAN_E2E_ROOT="$ROOT" PELLAN_E2E_VERSION="$VERSION" timeout 300 "$TESTS" \
    --gtest_filter='PtyPolling.*' >"$WORK/poll.out" 2>&1
rc=$?
set -e
[[ -L "$ROOT/COM25" && -L "$ROOT/COM26" ]] || fail "the stick is not on COM25/COM26 at the end"
stop_sim
[[ $rc -eq 0 ]] || fail "the polling line did not follow the stick (exit $rc)"
grep -q '\[  PASSED  \] 1 test' "$WORK/poll.out" || fail "the polling test did not run"
grep -c "Ready, please press UPDATE to start." "$WORK/poll.out" | sed 's/^/ready lines: /'

python3 - "$REPORT" <<'PY' || fail "report check failed"
import json, sys
r = json.load(open(sys.argv[1]))
assert r['enumerations'] == 3, 'expected three enumerations, got %s' % r['enumerations']
assert r['ports']['diag'] == 25 and r['ports']['at'] == 26, r['ports']
resets = [c for c in r['commands'] if c['name'] == 'ResetPhone']
assert sum(c.get('count', 1) for c in resets) == 2, resets
PY
echo PASS
