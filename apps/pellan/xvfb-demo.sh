#!/usr/bin/env bash
# Shows the desktop program at work without a screen, in English and then in Chinese: a virtual X
# server, the simulated stick on a device root, pellan --lang against it. Takes the factory view,
# presses UPDATE, waits for the "Success" box, answers it and checks that the program ended and the
# stick saw a whole update. Screenshots go to OUT_DIR, each name ending in -en or -zh.
#   usage: xvfb-demo.sh BUILD_DIR OUT_DIR
# Needs Xvfb, xdotool and imagemagick's import; a window manager (openbox) is used when present.
set -euo pipefail
BUILD_DIR=${1:?usage: $0 BUILD_DIR OUT_DIR}
OUT_DIR=${2:?usage: $0 BUILD_DIR OUT_DIR}
PELLAN="$BUILD_DIR/apps/pellan/pellan"
SIM="$BUILD_DIR/apps/pellan-stick-sim/pellan-stick-sim"
for tool in Xvfb xdotool import python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
WORK=$(mktemp -d)
mkdir -p "$OUT_DIR"
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; cat "$WORK"/*.log >&2 || true; exit 1; }

export DISPLAY=:$((90 + RANDOM % 100))
Xvfb "$DISPLAY" -screen 0 1400x900x24 >"$WORK/xvfb.log" 2>&1 & PIDS+=($!)
sleep 1
if command -v openbox >/dev/null; then openbox >"$WORK/wm.log" 2>&1 & PIDS+=($!); sleep 1; fi

window() {  # window NAME: waits for a window of that exact title and prints its id
    for _ in $(seq "${2:-200}"); do
        local w
        w=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1 || true)
        [[ -n "$w" ]] && { echo "$w"; return 0; }
        sleep 0.5
    done
    return 1
}

for lang in en zh; do
    ROOT="$WORK/root-$lang"
    mkdir -p "$ROOT"
    "$SIM" --root "$ROOT" --fast --report "$WORK/report-$lang.json" >"$WORK/sim-$lang.log" 2>&1 &
    SIM_PID=$!
    PIDS+=($SIM_PID)
    sleep 1
    factory="Factory view"
    [[ $lang == zh ]] && factory="工厂视图"

    # The factory view first: all eight line panels.
    "$PELLAN" --device-root "$ROOT" --fast --factory --lang "$lang" >"$WORK/factory-$lang.log" 2>&1 &
    FACTORY=$!
    PIDS+=($FACTORY)
    FV=$(window "DL_HX402A_PKGV1.00.00 — $factory") || fail "no factory view ($lang)"
    sleep 6
    import -window "$FV" -frame "$OUT_DIR/pellan-factory-view-$lang.png"
    kill "$FACTORY"; wait "$FACTORY" 2>/dev/null || true

    # The form: wait for the stick, press UPDATE, wait for the result.
    "$PELLAN" --device-root "$ROOT" --fast --lang "$lang" >"$WORK/pellan-$lang.log" 2>&1 & APP=$!
    PIDS+=($APP)
    MAIN=$(window "DL_HX402A_PKGV1.00.00") || fail "no main window ($lang)"
    sleep 6
    import -window "$MAIN" -frame "$OUT_DIR/pellan-main-ready-$lang.png"
    eval "$(xdotool getwindowgeometry --shell "$MAIN")"
    xdotool mousemove --window "$MAIN" $((WIDTH - 70)) $((HEIGHT - 36)) click 1
    sleep 10
    import -window "$MAIN" -frame "$OUT_DIR/pellan-main-updating-$lang.png"
    BOX=$(window "Success" 900) || fail "no Success box ($lang)"
    sleep 1
    import -window root "$OUT_DIR/pellan-success-$lang.png"
    eval "$(xdotool getwindowgeometry --shell "$BOX")"
    xdotool mousemove --window "$BOX" $((WIDTH - 50)) $((HEIGHT - 22)) click 1
    for _ in $(seq 60); do kill -0 "$APP" 2>/dev/null || break; sleep 0.5; done
    kill -0 "$APP" 2>/dev/null && fail "pellan did not end after the success box ($lang)"
    wait "$APP" || fail "pellan ended with status $? ($lang)"
    kill -USR1 "$SIM_PID"; sleep 1
    python3 - "$WORK/report-$lang.json" <<'PY' || fail "the stick did not see a whole update ($lang)"
import json, sys
assert json.load(open(sys.argv[1]))['updateFinished']
PY
    kill "$SIM_PID"; wait "$SIM_PID" 2>/dev/null || true
done
echo "PASS: screenshots in $OUT_DIR"
