#!/usr/bin/env bash
# Two pellan-cli processes, each on its own simulated stick, run NV backups at the same time and
# record them into one history store: nothing is lost. The SQLite store always; the PostgreSQL
# store when scripts/test-full.sh has started a throw-away server (PELLAN_TEST_PG=1, PG* set).
set -euo pipefail
source "$(dirname "$0")/cli_helpers.bash"

RUNS=${PELLAN_HISTORY_RUNS:-2}
IMEIS=(358812045678903 490154203237518)
SIM_PIDS=()
stop_sims() {
    for pid in "${SIM_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    SIM_PIDS=()
}
trap 'stop_sims; cleanup' EXIT
# The program's own folder may not be ours to write (a server account runs this): keep the
# settings and state of the runs inside the work folder.
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/config" XDG_DATA_HOME="$WORK/home/data"
export XDG_STATE_HOME="$WORK/home/state" XDG_RUNTIME_DIR="$WORK/home/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"

for w in 0 1; do
    mkdir -p "$WORK/root$w" "$WORK/nv$w"
    "$SIM" --root "$WORK/root$w" --fast --imei "${IMEIS[$w]}" >"$WORK/sim$w.log" 2>&1 &
    SIM_PIDS+=($!)
done
for w in 0 1; do
    for _ in $(seq 100); do
        [[ -e "$WORK/root$w/registry.reg" ]] && break
        sleep 0.1
    done
done

# writers STORE: both processes back up RUNS times at once into STORE; prints the figures.
writers() {
    local store=$1 started=$SECONDS pids=()
    for w in 0 1; do
        (
            for r in $(seq "$RUNS"); do
                timeout 300 "$CLI" --device-root "$WORK/root$w" --fast --nv-dir "$WORK/nv$w" \
                    --history "$store" backup-nv >"$WORK/w$w-$r.out" 2>&1 ||
                    { echo "writer $w run $r failed: $(tail -n 1 "$WORK/w$w-$r.out")"; exit 1; }
            done
        ) &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || fail "a writer failed"
    done
    local total=0
    for w in 0 1; do
        "$CLI" --history "$store" history --json --imei "${IMEIS[$w]}" >"$WORK/jobs$w.json" ||
            fail "history of writer $w: $(cat "$WORK/jobs$w.json")"
        local n
        n=$(python3 -c "import json,sys; j=json.load(open(sys.argv[1]))
assert all(r['passed'] and r['jobKind'] == 3 for r in j), j
print(len(j))" "$WORK/jobs$w.json") || fail "rows of writer $w"
        [[ $n -eq $RUNS ]] || fail "writer $w: $n of $RUNS jobs recorded"
        total=$((total + n))
    done
    echo "$store: 2 writers x $RUNS backups, $total job rows, 0 lost, $((SECONDS - started)) s"
}

writers "$WORK/shared.sqlite"
[[ -z "$(grep -l 'History store' "$WORK"/w*.out)" ]] || fail "a writer could not use the store"

if [[ "${PELLAN_TEST_PG:-0}" == 1 ]]; then
    : "${PGHOST:?PELLAN_TEST_PG needs the PG* variables of a server}"
    address="postgresql:///${PGDATABASE}?host=${PGHOST}&port=${PGPORT}&user=${PGUSER}"
    writers "$address"
    [[ -z "$(grep -l 'History store' "$WORK"/w*.out)" ]] || fail "a writer could not use PostgreSQL"
    backups=$(psql -tAc 'SELECT count(*) FROM nv_backups')
    [[ $backups -eq $((2 * RUNS)) ]] || fail "PostgreSQL holds $backups backup rows"
    echo "PostgreSQL: $backups backup rows"
fi
echo "PASS"
