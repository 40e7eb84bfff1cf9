# Shared by the cli_*.sh end-to-end scripts: a simulated stick on a device root of its own and
# pellan-cli run against it over pseudo-terminals. Sourced, not run.

BUILD_DIR=${1:?usage: $0 BUILD_DIR}
CLI="$BUILD_DIR/apps/pellan-cli/pellan-cli"
SIM="$BUILD_DIR/apps/pellan-stick-sim/pellan-stick-sim"
MKFIRMWARE="$BUILD_DIR/tools/pellan-mkfirmware"
for program in "$CLI" "$SIM" "$MKFIRMWARE"; do
    [[ -x "$program" ]] || { echo "missing $program (build it first)" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "python3 is needed to read the simulator's report" >&2; exit 1; }

WORK=$(mktemp -d)
ROOT="$WORK/root"
REPORT="$WORK/report.json"
SIM_PID=""

cleanup() {
    stop_sim
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- pellan-cli stdout (tail)" >&2
    tail -n 20 "$WORK/cli.out" >&2 2>/dev/null || true
    echo "--- pellan-cli stderr" >&2
    cat "$WORK/cli.err" >&2 2>/dev/null || true
    echo "--- simulator" >&2
    cat "$WORK/sim.log" >&2 2>/dev/null || true
    exit 1
}

# start_sim [simulator options...]: publishes one stick in $ROOT and waits for its ports.
start_sim() {
    start_station 1 "$@"
}

# start_station N [simulator options...]: publishes N sticks in $ROOT and waits for all their
# ports.
start_station() {
    local sticks=$1
    shift
    mkdir -p "$ROOT"
    "$SIM" --root "$ROOT" --fast --report "$REPORT" --sticks "$sticks" "$@" >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do
        if [[ -e "$ROOT/registry.reg" ]] &&
            (( $(find "$ROOT" -maxdepth 1 -name 'COM*' | wc -l) >= 2 * sticks )); then
            return 0
        fi
        sleep 0.1
    done
    fail "the simulator did not publish the ports of $sticks sticks"
}

# require_cli_option OPTION: skips the script (status 77, which ctest shows as skipped) when
# pellan-cli does not offer OPTION.
require_cli_option() {
    if ! "$CLI" --help 2>&1 | grep -q -- "$1"; then
        echo "SKIP: pellan-cli has no $1 option (several lines at once are not built yet)"
        exit 77
    fi
}

# check_summary N [FAILURE_TEXT]: standard output ends with one summary line for each of the
# lines 1..N, in line order: every one the success text, or with FAILURE_TEXT exactly one of them
# that failure text and the others the success text.
check_summary() {
    local count=$1 failure=${2:-} failed=0 line got ok_re
    mapfile -t summary < <(tail -n "$count" "$WORK/cli.out")
    (( ${#summary[@]} == count )) || fail "fewer than $count lines of output"
    for line in $(seq "$count"); do
        got=${summary[$((line - 1))]}
        ok_re="^Line $line: Update success!  It costs [0-9]+ minutes and [0-9]+ seconds\.\$"
        if [[ -n "$failure" && "$got" == "Line $line: $failure" ]]; then
            failed=$((failed + 1))
        elif ! [[ "$got" =~ $ok_re ]]; then
            fail "summary of line $line: $got"
        fi
    done
    [[ -z "$failure" || $failed -eq 1 ]] || fail "$failed lines ended with \"$failure\", expected 1"
}

# check_station_report FIRMWARE_DIR NV_DIR [REFUSED_STICK]: see station_report_check.py.
check_station_report() {
    python3 "$(dirname "${BASH_SOURCE[0]}")/station_report_check.py" "$REPORT" "$@" ||
        fail "station report check failed"
}

# stop_sim: ends the simulator, which writes its final report.
stop_sim() {
    if [[ -n "$SIM_PID" ]]; then
        kill -TERM "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
        SIM_PID=""
    fi
}

# wait_sim_exit: waits (10 s at most) for a simulator started with --exit-after-update to end by
# itself, once its sticks are back after the update's final reset; pellan-cli does not wait for that.
wait_sim_exit() {
    for _ in $(seq 100); do
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$SIM_PID" 2>/dev/null && fail "the simulator is still running after the final reset"
    wait "$SIM_PID" || fail "the simulator ended with exit status $?"
    SIM_PID=""
}

# run_cli [options...]: runs pellan-cli against $ROOT; sets CLI_RC, output in $WORK/cli.{out,err}.
run_cli() {
    set +e
    timeout 540 "$CLI" --device-root "$ROOT" --fast "$@" >"$WORK/cli.out" 2>"$WORK/cli.err"
    CLI_RC=$?
    set -e
}

last_stdout_line() {
    tail -n 1 "$WORK/cli.out"
}

# report_check [args...] <<'PY' ... PY: runs the Python on standard input with `r` bound to the
# simulator's report and sys.argv[2:] = args; an assertion that does not hold fails the test.
report_check() {
    local body
    body=$(cat)
    python3 -c "import json, sys
r = json.load(open(sys.argv[1]))
$body" "$REPORT" "$@" || fail "report check failed"
}

# check_update_report FIRMWARE_DIR NVM_FILE: the stick saw the end of an update, every image in it
# is identical to its file of FIRMWARE_DIR, and every NV item that the backup NVM_FILE read was
# written back with the contents read.
check_update_report() {
    python3 "$(dirname "${BASH_SOURCE[0]}")/update_report_check.py" "$REPORT" "$1" "$2" ||
        fail "report check failed"
}
