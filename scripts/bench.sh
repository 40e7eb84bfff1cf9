#!/usr/bin/env bash
# Builds the benchmarks in Release (build/bench), runs every one of them and prints each figure
# beside its target. Not part of the test command. Figures depend on the machine and on whatever
# else runs on it; rerun on a quiet machine before reading much into a MISS.
#   BENCH_IDLE_SECONDS   how long the idle polling line is measured (default 20)
#   BENCH_JOBS           build jobs (default 2)
#   BENCH_STATION_STICKS the sticks of the station run (default 8; 0 leaves the station out)
#   BENCH_STATION_FIRMWARE  embedded (default: the full-size set pellan-cli carries) or small
#   BENCH_ONLY_STATION   1 runs the station figures alone
set -euo pipefail

HERE=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$HERE/build/bench"
IDLE_SECONDS=${BENCH_IDLE_SECONDS:-20}
JOBS=${BENCH_JOBS:-2}
STATION_STICKS=${BENCH_STATION_STICKS:-8}
STATION_FIRMWARE=${BENCH_STATION_FIRMWARE:-embedded}
ONLY_STATION=${BENCH_ONLY_STATION:-0}
command -v python3 >/dev/null || { echo "python3 is needed to read the figures" >&2; exit 1; }

cmake -S "$HERE" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELLAN_BUILD_TESTS=OFF \
    -DPELLAN_BUILD_GUI=OFF -DPELLAN_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target pellan-bench-micro pellan-bench-link \
    pellan-stick-sim pellan-mkfirmware pellan-cli

SIM="$BUILD/apps/pellan-stick-sim/pellan-stick-sim"
LINK="$BUILD/bench/pellan-bench-link"
CLI="$BUILD/apps/pellan-cli/pellan-cli"
WORK=$(mktemp -d)
SIM_PID=""
stop_sim() {
    if [[ -n "$SIM_PID" ]]; then
        kill -TERM "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
        SIM_PID=""
    fi
}
trap 'stop_sim; rm -rf "$WORK"' EXIT

# start_sim ROOT [options...]: a simulated stick serving ROOT until stop_sim.
start_sim() {
    local root=$1
    shift
    "$SIM" --root "$root" "$@" >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do
        [[ -e "$root/registry.reg" ]] && ls "$root"/COM* >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "the simulator did not publish its ports" >&2
    cat "$WORK/sim.log" >&2
    exit 1
}

# CPU seconds (user + system) the simulator process has used so far.
sim_cpu() {
    python3 - "$SIM_PID" <<'PY'
import os, sys
fields = open('/proc/%s/stat' % sys.argv[1]).read().rsplit(')', 1)[1].split()
print((int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK'))
PY
}

if [[ "$ONLY_STATION" != 1 ]]; then
echo "== micro benchmarks"
"$BUILD/bench/pellan-bench-micro" --benchmark_min_time=0.5 \
    --benchmark_out="$WORK/micro.json" --benchmark_out_format=json

echo "== the full-size synthetic firmware set"
"$BUILD/tools/pellan-mkfirmware" "$WORK/fw" >/dev/null

echo "== raw pseudo-terminal link"
"$LINK" raw --root "$WORK/raw-root" --firmware "$WORK/fw" | tee "$WORK/raw.txt"

echo "== a window of 5 (and of 1) to a far end that answers every frame at once"
"$LINK" window --root "$WORK/window-root" --firmware "$WORK/fw" --window 5 | tee "$WORK/window.txt"
"$LINK" window --root "$WORK/window1-root" --firmware "$WORK/fw" --window 1 | tee -a "$WORK/window.txt"

echo "== windowed transfer to pellan-stick-sim (no modelled reply latency)"
start_sim "$WORK/transfer-root" --fast --latency-ms 0
sim_before=$(sim_cpu)
"$LINK" transfer --root "$WORK/transfer-root" --firmware "$WORK/fw" | tee "$WORK/transfer.txt"
echo "sim_process_cpu $(python3 -c "print('%.4f' % ($(sim_cpu) - $sim_before))") s" \
    | tee -a "$WORK/transfer.txt"
stop_sim

echo "== idle polling line against pellan-stick-sim for $IDLE_SECONDS s"
start_sim "$WORK/idle-root"
"$LINK" idle --root "$WORK/idle-root" --seconds "$IDLE_SECONDS" | tee "$WORK/idle.txt"
stop_sim

echo "== the same with --fast on both sides (the test mode; fixed waits a hundredth as long)"
start_sim "$WORK/idle-fast-root" --fast
"$LINK" idle --root "$WORK/idle-fast-root" --seconds "$IDLE_SECONDS" --fast 1 \
    | sed 's/^idle_/idle_fast_/' | tee "$WORK/idle-fast.txt"
stop_sim

fi

# run_station STICKS SINGLE_SWITCH(on|off) LATENCY(default|0): one `pellan-cli --lines ... --fast
# update` of STICKS simulated sticks at once; prints its wall time, the CPU share of pellan-cli
# (user + system over wall, in cores) and the simulator's CPU share apart.
run_station() {
    local sticks=$1 switch=$2 latency=$3 root="$WORK/station-$1-$2-$3" lines firmware=() extra=()
    local tag="station_${sticks}_${switch}_${latency}"
    [[ "$latency" == default ]] || extra+=(--latency-ms "$latency")
    "$SIM" --root "$root" --fast --sticks "$sticks" --port-policy lowest-free \
        --renumber-on reset,downloader,dload-reset,stream-reset "${extra[@]}" >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do
        (( $(find "$root" -maxdepth 1 -name 'COM*' 2>/dev/null | wc -l) >= 2 * sticks )) && break
        sleep 0.1
    done
    lines=$(seq -s, 1 "$sticks")
    [[ "$STATION_FIRMWARE" == embedded ]] || firmware=(--firmware-dir "$WORK/small-fw")
    local switch_args=()
    [[ "$switch" == on ]] || switch_args=("${SINGLE_SWITCH_OFF[@]}")
    local sim_before
    sim_before=$(sim_cpu)
    python3 - "$tag" "$CLI" --device-root "$root" --fast --lines "$lines" --nv-dir "$root/nv" \
        "${firmware[@]}" "${switch_args[@]}" update <<'PY' | tee -a "$WORK/station.txt"
import os, subprocess, sys, time
tag, argv = sys.argv[1], sys.argv[2:]
os.makedirs(argv[argv.index('--nv-dir') + 1], exist_ok=True)
start = time.monotonic()
with open(os.devnull, 'w') as null:
    child = subprocess.Popen(argv, stdout=null, stderr=null)
    _, status, usage = os.wait4(child.pid, 0)
wall = time.monotonic() - start
if os.waitstatus_to_exitcode(status) != 0:
    sys.exit('%s: pellan-cli ended with %d' % (tag, os.waitstatus_to_exitcode(status)))
print('%s_wall %.2f' % (tag, wall))
print('%s_cpu_share %.4f' % (tag, (usage.ru_utime + usage.ru_stime) / wall))
PY
    echo "${tag}_sim_cpu_share $(python3 -c "print('%.4f' % (($(sim_cpu) - $sim_before) / \
        $(sed -n "s/^${tag}_wall //p" "$WORK/station.txt")))")" | tee -a "$WORK/station.txt"
    stop_sim
}

if (( STATION_STICKS > 0 )); then
    echo "== a station: 1 and $STATION_STICKS sticks updated at once ($STATION_FIRMWARE firmware)"
    # How pellan-cli turns the Single Switch option off, if it can.
    cli_help=$("$CLI" --help 2>&1 || true)
    grep -q -- '--lines' <<<"$cli_help" || { echo "pellan-cli has no --lines option" >&2; exit 1; }
    SINGLE_SWITCH_OFF=()
    if grep -q -- '--no-single-switch' <<<"$cli_help"; then
        SINGLE_SWITCH_OFF=(--no-single-switch)
    elif grep -q -- '--single-switch' <<<"$cli_help"; then
        SINGLE_SWITCH_OFF=(--single-switch 0)
    fi
    switches=(on)
    if (( ${#SINGLE_SWITCH_OFF[@]} > 0 )); then
        switches+=(off)
    else
        echo "pellan-cli has no option for Single Switch: measured with it on only" >&2
    fi
    [[ "$STATION_FIRMWARE" == embedded ]] || "$BUILD/tools/pellan-mkfirmware" --small "$WORK/small-fw" >/dev/null
    : >"$WORK/station.txt"
    for latency in default 0; do
        for switch in "${switches[@]}"; do
            for sticks in 1 "$STATION_STICKS"; do
                run_station "$sticks" "$switch" "$latency"
            done
        done
    done
fi

echo
echo "== figures (machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg))"
python3 - "$WORK" <<'PY'
import json, sys
work = sys.argv[1]
figures = {}
import os
for name in ('raw', 'window', 'transfer', 'idle', 'idle-fast', 'station'):
    if not os.path.exists('%s/%s.txt' % (work, name)):
        continue
    for line in open('%s/%s.txt' % (work, name)):
        parts = line.split()
        if len(parts) >= 2:
            figures[parts[0]] = float(parts[1])
micro = {}
if os.path.exists(work + '/micro.json'):
    for b in json.load(open(work + '/micro.json'))['benchmarks']:
        micro[b['name']] = b
def cpu_rate(name):
    # bytes_per_second is reckoned on the benchmark's own CPU time: one core's worth.
    return micro[name]['bytes_per_second'] / 1e6

rows = []
def row(what, value, unit, target=None, ok=None):
    verdict = '' if ok is None else ('PASS' if ok else 'MISS')
    rows.append((what, '%.3f %s' % (value, unit), target or '-', verdict))

if micro:
    for name, label in (('BM_FrameBuildStreamWrite', 'frame build (CPhoneLink, 1024-byte block)'),
                        ('BM_FrameEncode', 'frame encode (codec, 1024-byte block)'),
                        ('BM_FrameDecode', 'frame decode (unstuff + CRC, 1024-byte block)')):
        v = cpu_rate(name)
        row(label, v, 'MB/s', '>= 300 MB/s', v >= 300)
    for arg in ('5', '64'):
        b = micro['BM_CollectStreamAcks/' + arg]
        row('acknowledgement scan, %s queued' % arg, b['cpu_time'] / 1e3 if b['time_unit'] == 'ns' else b['cpu_time'], 'us')
    b = micro['BM_LoadNvmFile']
    row('NVM file load (115,600 bytes)', b['cpu_time'], b['time_unit'])
    b = micro['BM_ScanLocationData']
    row('location data scan, 18.9 MB image (CPU)', b['cpu_time'], b['time_unit'])
    row('location data scan, 18.9 MB image (wall)', b['real_time'], b['time_unit'])

    raw = figures['raw_rate']
    win = figures['windowed_rate']
    row('raw link, block frames over a pty', raw, 'MB/s')
    row('windowed transfer, application + EFS', win, 'MB/s', '>= 25 MB/s', win >= 25)
    row('windowed / raw', win / raw, '', '>= 0.5', win / raw >= 0.5)
    ceiling = figures['window5_rate']
    row('window of 5 to an instant far end (ceiling)', ceiling, 'MB/s')
    row('  its round trip (five frames out, five answers back)', figures['window5_round_trip'], 'us')
    row('  one frame alone (window of 1)', figures['window1_round_trip'], 'us')
    row('windowed / ceiling', win / ceiling, '')
    row('  application image alone', figures['windowed_amss_rate'], 'MB/s')
    row('  EFS image alone', figures['windowed_efs_rate'], 'MB/s')
    row('host CPU per MB (windowed)', figures['windowed_cpu_per_mb'], 's/MB')
    share = figures['windowed_cpu_share']
    row('host CPU during the windowed transfer', share, 'core', '< 0.333 core', share < 1 / 3)
    row('whole programming cycle (%.1f MB)' % figures['transfer_bytes'], figures['transfer_rate'], 'MB/s')
    row('  its host thread CPU', figures['transfer_host_thread_cpu'], 's')
    row('  simulator process CPU (not the host)', figures['sim_process_cpu'], 's')
    idle = figures['idle_thread_cpu_share']
    ok = idle < 0.01 and figures['idle_ready_messages'] > 0
    row('idle polling line (%d s, %d ready texts)' % (figures['idle_seconds'], figures['idle_ready_messages']),
        idle * 100, '% core', '< 1 % core', ok)
    row('  with --fast (%d ready texts)' % figures['idle_fast_ready_messages'],
        figures['idle_fast_thread_cpu_share'] * 100, '% core')

for key in sorted(k for k in figures if k.startswith('station_') and k.endswith('_wall')):
    _, sticks, switch, latency, _ = key.split('_')
    tag = key[:-len('_wall')]
    row('%s stick%s at once, Single Switch %s, latency %s' % (sticks, '' if sticks == '1' else 's',
        switch, latency + (' (2 ms)' if latency == 'default' else ' ms')), figures[key], 's')
    rows.append(('  pellan-cli CPU / the simulator\'s CPU', '%.3f / %.3f core' % (
        figures[tag + '_cpu_share'], figures[tag + '_sim_cpu_share']), '-', ''))

width = max(len(r[0]) for r in rows)
for what, value, target, verdict in rows:
    print('%-*s  %16s  %-14s %s' % (width, what, value, target, verdict))
PY

# ---- the update against the simulator, by phase, and the real-clock figures -----------------
# pellan-cli (with the embedded full-size firmware set) runs on a pseudo-terminal so that its
# progress bar marks the phases; scripts/bench_update.py stamps every mark as it arrives.
bench_update() {
    cmake --build "$BUILD" -j"$JOBS" --target pellan-cli >/dev/null
    local cli="$BUILD/apps/pellan-cli/pellan-cli" out="$WORK/update.txt"
    : >"$out"
    echo "== whole update with --fast on both sides (the simulator's default reply latency)"
    start_sim "$WORK/update-fast-root" --fast
    python3 "$HERE/scripts/bench_update.py" fast -- "$cli" --device-root \
        "$WORK/update-fast-root" --fast update | tee -a "$out"
    stop_sim
    echo "== pellan-cli backup-nv on the real clock"
    start_sim "$WORK/backup-root"
    python3 "$HERE/scripts/bench_update.py" backup -- "$cli" --device-root "$WORK/backup-root" \
        backup-nv | tee -a "$out"
    stop_sim
    echo "== whole update on the real clock (the estimate for a real stick)"
    start_sim "$WORK/update-real-root"
    python3 "$HERE/scripts/bench_update.py" real -- "$cli" --device-root \
        "$WORK/update-real-root" update | tee -a "$out"
    stop_sim
    echo "== restore-nv with --paced-replies against a stick that takes NV writes 50 ms apart"
    start_sim "$WORK/paced-root" --fast --nv-write-spacing 50
    python3 "$HERE/scripts/bench_update.py" spaced -- "$cli" --device-root "$WORK/paced-root" \
        --fast backup-nv >/dev/null
    python3 "$HERE/scripts/bench_update.py" spaced_fast -- "$cli" --device-root \
        "$WORK/paced-root" --fast restore-nv | tee -a "$out"
    python3 "$HERE/scripts/bench_update.py" spaced_paced -- "$cli" --device-root \
        "$WORK/paced-root" --fast --paced-replies restore-nv \
        | tee -a "$out"
    stop_sim

    echo
    echo "== update figures"
    python3 - "$out" <<'PY'
import sys
f = {}
for line in open(sys.argv[1]):
    parts = line.split()
    if len(parts) == 2:
        f[parts[0]] = float(parts[1])
def row(what, value, unit, target=None, ok=None):
    verdict = '' if ok is None else ('PASS' if ok else 'MISS')
    print('%-58s %10.3f %-6s %-16s %s' % (what, value, unit, target or '-', verdict))
ok = f['fast_exit'] == 0
row('update --fast, wall (exit %d)' % f['fast_exit'], f['fast_wall'], 's', '<= 30 s',
    ok and f['fast_wall'] <= 30)
for key in sorted(k for k in f if k.startswith('fast_phase_')):
    row('  ' + key[len('fast_phase_'):], f[key], 's')
share = f['fast_cpu'] / f['fast_wall']
row('  host CPU over the update (pellan-cli)', share, 'core', '< 0.3 core', share < 0.3)
row('backup-nv, real clock, wall (exit %d)' % f['backup_exit'], f['backup_wall'], 's',
    '<= 3.5 s', f['backup_exit'] == 0 and f['backup_wall'] <= 3.5)
if 'real_wall' in f:
    row('update, real clock, wall (exit %d)' % f['real_exit'], f['real_wall'], 's')
    row('  NV backup phase', f['real_phase_nv_backup'], 's', '<= 2 s',
        f['real_phase_nv_backup'] <= 2)
    restore = f['real_phase_nv_restore'] - 2.0
    row('  NV restore phase less its two 1000 ms waits', restore, 's', '<= 2 s', restore <= 2)
    boot = (f['real_phase_armprg_and_programmer'] - 3.0 +
            f['real_phase_security_partition_boot_loaders'] - 4.0)
    row('  armprg + programmer start + boot loaders, less 7 s of waits', boot, 's', '<= 2 s',
        boot <= 2)
    for key in sorted(k for k in f if k.startswith('real_phase_')):
        row('    ' + key[len('real_phase_'):], f[key], 's')
    row('  host CPU over the real-clock update', f['real_cpu'] / f['real_wall'], 'core')
row('restore-nv, NV writes >= 50 ms apart, fast path (exit %d)' % f['spaced_fast_exit'],
    f['spaced_fast_wall'], 's', 'exit 0', f['spaced_fast_exit'] == 0)
row('restore-nv, same stick, --paced-replies (exit %d)' % f['spaced_paced_exit'],
    f['spaced_paced_wall'], 's', 'exit 0', f['spaced_paced_exit'] == 0)
PY
}
bench_update
