#!/usr/bin/env bash
# The main job end to end: builds pellan-cli (with the embedded firmware set) and the stick
# simulator, publishes a simulated HX402A on a temporary device root over pseudo-terminals, runs
# `pellan-cli --device-root DIR --fast update` against it, showing its status lines and progress,
# and ends with the success text. Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh

build=${1:-build/demo}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELLAN_BUILD_TESTS=OFF \
    -DPELLAN_BUILD_GUI=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target pellan-cli pellan-stick-sim

root=$(mktemp -d)
sim_pid=""
stop_sim() {
    if [[ -n "$sim_pid" ]]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}
trap 'stop_sim; rm -rf "$root"' EXIT

"$build/apps/pellan-stick-sim/pellan-stick-sim" --root "$root" --fast \
    --report "$root/report.json" >"$root/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    [[ -e "$root/registry.reg" ]] && break
    sleep 0.1
done
echo "Simulated stick published in $root" >&2

start=$(date +%s)
set +e
# Standard output stays on the terminal so that pellan-cli draws its progress bar; its last line is
# the success text (or the failure text).
"$build/apps/pellan-cli/pellan-cli" --device-root "$root" --fast update
status=$?
set -e
stop_sim
echo "(pellan-cli exit status $status, wall time $(( $(date +%s) - start )) s)" >&2
exit "$status"
