#!/usr/bin/env bash
# Screenshots of the factory view driving a station: pellan-stick-sim plays STICKS sticks on one
# device root (renumbered at every restart), pellan --factory polls all eight lines, "Start All" is
# pressed (Ctrl+Return), and the window is taken once the lines run and once every line has its
# result, in the interface language LANG (en or zh): OUT_DIR/factory-LANG-{ready,running,done}.png.
#   usage: scripts/factory-shots.sh BUILD_DIR OUT_DIR [STICKS] [LANG]
# Needs Xvfb, xdotool and imagemagick (import, convert); openbox is used when present.
set -euo pipefail
BUILD_DIR=${1:?usage: $0 BUILD_DIR OUT_DIR [STICKS] [LANG]}
OUT_DIR=${2:?usage: $0 BUILD_DIR OUT_DIR [STICKS] [LANG]}
STICKS=${3:-3}
LANG_=${4:-en}
case $LANG_ in
en) TITLE="DL_HX402A_PKGV1.00.00 — Factory view" ;;
zh) TITLE="DL_HX402A_PKGV1.00.00 — 工厂视图" ;;
*) echo "LANG is en or zh" >&2; exit 2 ;;
esac
PELLAN="$BUILD_DIR/apps/pellan/pellan"
SIM="$BUILD_DIR/apps/pellan-stick-sim/pellan-stick-sim"
for tool in Xvfb xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
[[ -x "$PELLAN" && -x "$SIM" ]] || { echo "missing $PELLAN or $SIM (build them first)" >&2; exit 1; }
WORK=$(mktemp -d)
ROOT="$WORK/root"
mkdir -p "$ROOT" "$OUT_DIR"
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

export DISPLAY=:$((90 + RANDOM % 100))
Xvfb "$DISPLAY" -screen 0 1600x1000x24 >"$WORK/xvfb.log" 2>&1 & PIDS+=($!)
sleep 1
if command -v openbox >/dev/null; then openbox >/dev/null 2>&1 & PIDS+=($!); sleep 1; fi
"$SIM" --root "$ROOT" --fast --sticks "$STICKS" --port-policy lowest-free \
    --report "$WORK/report.json" >"$WORK/sim.log" 2>&1 & PIDS+=($!)
sleep 1
"$PELLAN" --device-root "$ROOT" --fast --factory --lang "$LANG_" >"$WORK/pellan.log" 2>&1 &
PIDS+=($!)
FV=""
for _ in $(seq 120); do
    FV=$(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null | head -1 || true)
    [[ -n "$FV" ]] && break
    sleep 0.5
done
[[ -n "$FV" ]] || { echo "no factory view" >&2; cat "$WORK/pellan.log" >&2; exit 1; }
xdotool windowmove "$FV" 0 0
shot() { import -window "$FV" -frame "$1"; }
sleep 8  # every line's polling finds its stick or shows "Search..."
shot "$OUT_DIR/factory-$LANG_-ready.png"
xdotool windowactivate --sync "$FV" key --clearmodifiers ctrl+Return
sleep 25
shot "$OUT_DIR/factory-$LANG_-running.png"
for _ in $(seq 120); do
    xdotool search --onlyvisible --name "^Success\$" >/dev/null 2>&1 && break
    sleep 1
done
sleep 2
shot "$OUT_DIR/factory-$LANG_-done.png"
echo "screenshots in $OUT_DIR"
