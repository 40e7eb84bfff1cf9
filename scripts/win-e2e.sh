#!/usr/bin/env bash
# A simulated update by the Windows build, run under Wine.
#
# The Linux simulator pellan-stick-sim (native build) publishes its stick in a device root: COM<N>
# links to pseudo-terminals and registry.reg. Wine reaches the pseudo-terminals as COM ports
# through its device mapping ($WINEPREFIX/dosdevices/com<N> -> DIR/COM<N>, so a stick that comes
# back on a new pseudo-terminal is found under the same name), and scripts/win-reg-sync.py puts
# the simulator's registry keys into Wine's registry, again every time the simulator rewrites
# them. pellan-cli.exe then runs as on a Windows machine: the machine's registry, \\.\COM<N>, the
# working folder under C:\Program Files, the kernel's named mutex. It must end with the success
# text, and the simulator's report must show every image as its file and every NV item restored.
#
# Usage: scripts/win-e2e.sh [--build DIR] [--native DIR] [--full] [--renumber] [--real-time]
#                           [--reg-file] [--trace] [--keep]
#   --build DIR   the mingw build (default build/mingw; scripts/win-build.sh makes it)
#   --native DIR  the Linux build of the simulator (default build/win-native; built when missing)
#   --full        the firmware embedded in pellan-cli.exe (shipped sizes) instead of a small set
#   --renumber    the stick comes back on new port numbers after each reset of its normal firmware
#                 (implies --real-time unless --reg-file is given)
#   --real-time   no --fast: the program's fixed waits and the stick's restarts last their real
#                 time. Needed when ports change: the registry reaches Wine a few hundred
#                 milliseconds after the simulator wrote it, longer than a shortened wait after a
#                 reset, so the program would still see the ports the stick has just left
#   --reg-file    pellan-cli.exe reads DIR/registry.reg (--device-root) instead of Wine's registry
#   --trace       WINEDEBUG=+serial,+comm for pellan-cli.exe, trace kept in the work folder
#   --keep        keep the work folder (it is printed)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

build=build/mingw
native=build/win-native
full=0
renumber=0
real_time=0
reg_file=0
trace=0
keep=0
while (($#)); do
    case "$1" in
    --build) build=$2; shift ;;
    --native) native=$2; shift ;;
    --full) full=1 ;;
    --renumber) renumber=1 ;;
    --real-time) real_time=1 ;;
    --reg-file) reg_file=1 ;;
    --trace) trace=1 ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [--build DIR] [--native DIR] [--full] [--renumber] [--real-time] [--reg-file]" \
            "[--trace] [--keep]" >&2
       exit 2 ;;
    esac
    shift
done
build=$(cd "$build" && pwd)
started=$(date +%s)
((renumber && !reg_file)) && real_time=1
fast=(--fast)
((real_time)) && fast=()

wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64 || command -v wine)
cli="$build/apps/pellan-cli/pellan-cli.exe"
[[ -f $cli ]] || { echo "missing $cli: run scripts/win-build.sh first" >&2; exit 1; }

sim="$native/apps/pellan-stick-sim/pellan-stick-sim"
mkfirmware="$native/tools/pellan-mkfirmware"
if [[ ! -x $sim || ! -x $mkfirmware ]]; then
    echo "== building the simulator (Linux) in $native"
    if [[ ! -f $native/CMakeCache.txt ]]; then
        cmake -S "$source_dir" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELLAN_BUILD_GUI=OFF \
            -DPELLAN_BUILD_TESTS=OFF -DPELLAN_BUILD_BENCH=OFF >/dev/null
    fi
    cmake --build "$native" -j2 --target pellan-stick-sim pellan-mkfirmware
fi

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
work=$(mktemp -d /tmp/pellan-win-e2e.XXXXXX)
root="$work/root"
mkdir -p "$root" "$work/nv"
sim_pid=""
sync_pid=""
links=()

winpath() {  # the Linux path as Wine's drive Z: shows it
    local p
    p=$(realpath -m "$1")
    echo "Z:${p//\//\\}"
}

cleanup() {
    # A killed helper's status (143) must not become the script's under set -e.
    [[ -n $sim_pid ]] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
    [[ -n $sync_pid ]] && kill -TERM "$sync_pid" 2>/dev/null && wait "$sync_pid" 2>/dev/null || true
    for link in "${links[@]}"; do
        rm -f "$link"
    done
    if ((keep)); then
        echo "work folder kept: $work"
    else
        rm -rf "$work"
    fi
    return 0
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- pellan-cli.exe stdout (tail)" >&2
    tail -n 25 "$work/cli.out" 2>/dev/null | tr -d '\r' >&2 || true
    echo "--- pellan-cli.exe stderr" >&2
    tr -d '\r' <"$work/cli.err" >&2 2>/dev/null || true
    echo "--- simulator" >&2
    cat "$work/sim.log" >&2 2>/dev/null || true
    echo "--- registry sync" >&2
    cat "$work/sync.log" >&2 2>/dev/null || true
    if [[ -s $work/wine-trace.log ]]; then
        echo "--- Wine serial trace (last lines of $work/wine-trace.log)" >&2
        tail -n 40 "$work/wine-trace.log" >&2
        keep=1
    fi
    exit 1
}

if [[ ! -d $WINEPREFIX/dosdevices ]]; then
    echo "== making the Wine prefix $WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1 || true
fi

firmware_args=()
if ((!full)); then
    "$mkfirmware" --small "$work/firmware" >/dev/null
    firmware_args=(--firmware-dir "$(winpath "$work/firmware")")
    firmware="$work/firmware"
else
    # The set pellan-cli.exe carries: PELLAN_FIRMWARE_DIR of the build, else the synthetic one.
    firmware=$(sed -n 's/^PELLAN_FIRMWARE_DIR:PATH=//p' "$build/CMakeCache.txt")
    [[ -n $firmware ]] || firmware="$build/firmware/synthetic"
fi

sim_args=(--root "$root" "${fast[@]}" --report "$work/report.json")
((renumber)) && sim_args+=(--renumber-on reset)
"$sim" "${sim_args[@]}" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    [[ -e $root/registry.reg ]] && ls "$root"/COM* >/dev/null 2>&1 && break
    sleep 0.1
done
[[ -e $root/registry.reg ]] || fail "the simulator did not publish its ports"

# COM5 to COM32 stand for the simulator's ports (COM1 to COM4 are Wine's own serial ports; the
# Windows serial tests take COM40 and up). A link whose target is missing makes the open fail, as
# a missing device does.
for n in $(seq 5 32); do
    link="$WINEPREFIX/dosdevices/com$n"
    if [[ -e $link && ! -L $link ]]; then
        continue
    fi
    ln -sfn "$root/COM$n" "$link"
    links+=("$link")
done

cli_args=("${fast[@]}" --nv-dir "$(winpath "$work/nv")" "${firmware_args[@]}")
if ((reg_file)); then
    cli_args=(--device-root "$(winpath "$root")" "${cli_args[@]}")
else
    python3 "$source_dir/scripts/win-reg-sync.py" --wine "$wine" --file "$root/registry.reg" \
        --stop-file "$work/stop-sync" >"$work/sync.log" 2>&1 &
    sync_pid=$!
    for _ in $(seq 300); do
        grep -q '^imported' "$work/sync.log" 2>/dev/null && break
        sleep 0.1
    done
    grep -q '^imported' "$work/sync.log" || fail "the registry keys did not reach Wine's registry"
fi

echo "== pellan-cli.exe ${cli_args[*]} update"
update_started=$(date +%s)
set +e
if ((trace)); then
    WINEDEBUG=+serial,+comm,+file timeout 900 "$wine" "$cli" "${cli_args[@]}" update \
        >"$work/cli.out" 2>"$work/wine-trace.log"
    rc=$?
    grep -v '^[0-9a-f]*:\(trace\|warn\|fixme\|err\):' "$work/wine-trace.log" >"$work/cli.err"
else
    timeout 900 "$wine" "$cli" "${cli_args[@]}" update >"$work/cli.out" 2>"$work/cli.err"
    rc=$?
fi
set -e
update_seconds=$(($(date +%s) - update_started))
kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
sim_pid=""

last=$(tail -n 1 "$work/cli.out" | tr -d '\r')
echo "last line: $last"
[[ $rc -eq 0 ]] || fail "exit status $rc, expected 0"
[[ $last =~ ^Update\ success!\ \ It\ costs\ [0-9]+\ minutes\ and\ [0-9]+\ seconds\.$ ]] ||
    fail "the last line is not the success text"
if ((!reg_file)); then
    [[ ! -e "$WINEPREFIX/drive_c/Program Files/Windows Service/HX402newversion" ]] ||
        fail "the working folder was not deleted after the success"
fi
ls "$work/nv/Logs"/Line1_*.log >/dev/null 2>&1 || fail "no line log file in the NV folder's Logs"
# The history store beside the NV backups holds the job and its backup, as on Linux.
python3 - "$work/nv/history.sqlite" <<'PY' || fail "the history store lacks the job or its backup"
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
jobs = db.execute("SELECT result_code, imei FROM jobs").fetchall()
backups = db.execute("SELECT imei, size FROM nv_backups").fetchall()
print("history: jobs %s, NV backups %s" % (jobs, backups))
sys.exit(0 if len(jobs) == 1 and jobs[0][0] == 0 and len(backups) == 1 else 1)
PY

# The same checks of the simulator's report as the Linux end-to-end tests make.
python3 "$source_dir/tests/e2e/update_report_check.py" "$work/report.json" "$firmware" \
    "$work/nv/Channel1.nvm" || fail "report check failed"
if [[ -n $sync_pid ]]; then
    echo "registry imports: $(grep -c '^imported' "$work/sync.log")"
fi
echo "PASS: update under Wine in ${update_seconds}s (script $(($(date +%s) - started))s)"
