#!/usr/bin/env bash
# Runs every test program of the Windows build under Wine, one after the other, and prints each
# program's result and a total. Exit status 1 when any program fails.
# Usage: scripts/win-test.sh [--build DIR] [gtest arguments...]   (default DIR build/mingw)
# Console programs need no X display. The Wine prefix is DIR/wineprefix.
set -uo pipefail
cd "$(dirname "$0")/.."
build=build/mingw
if [[ ${1:-} == --build ]]; then
    build=$2
    shift 2
fi
build=$(cd "$build" && pwd) || exit 1
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64 || command -v wine)
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

shopt -s nullglob
programs=("$build"/tests/test_*.exe)
if ((${#programs[@]} == 0)); then
    echo "no test programs in $build/tests: run scripts/win-build.sh first" >&2
    exit 1
fi
logs="$build/win-test-logs"
mkdir -p "$logs"

started=$(date +%s)
failed=()
total_passed=0
total_failed=0
total_skipped=0
for program in "${programs[@]}"; do
    name=$(basename "$program" .exe)
    log="$logs/$name.log"
    t0=$(date +%s)
    # Tests run from the build folder, as ctest runs them.
    (cd "$build" && timeout 900 "$wine" "$program" "$@") >"$log" 2>&1
    rc=$?
    seconds=$(($(date +%s) - t0))
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tr -d '\r' | tail -n 1)
    nfailed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n 1)
    skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n 1)
    passed=${passed:-0}
    nfailed=${nfailed:-0}
    skipped=${skipped:-0}
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + nfailed))
    total_skipped=$((total_skipped + skipped))
    if ((rc == 0)); then
        printf 'PASS  %-18s %4d passed %3d skipped  %4ds\n' "$name" "$passed" "$skipped" "$seconds"
    else
        failed+=("$name")
        printf 'FAIL  %-18s %4d passed %3d failed  %4ds  exit %d, log %s\n' \
            "$name" "$passed" "$nfailed" "$seconds" "$rc" "$log"
        grep '^\[  FAILED  \] [A-Za-z]' "$log" | grep -v 'listed below' | sed 's/^/        /' | sort -u
    fi
done
# The firmware set in the programs' resource section (SOURCEMBN 161..168, from the resource script
# pellan_embed_firmware writes): pellan-firmware-extract.exe must write back each image byte for
# byte as the build embedded it.
extract="$build/tools/pellan-firmware-extract.exe"
firmware=$(sed -n 's/^PELLAN_FIRMWARE_DIR:PATH=//p' "$build/CMakeCache.txt")
[[ -n $firmware ]] || firmware="$build/firmware/synthetic"
if [[ -f $extract ]]; then
    programs+=("$extract")
    t0=$(date +%s)
    root=$(mktemp -d)
    (cd "$build" && timeout 300 "$wine" "$extract" --device-root "Z:${root//\//\\}") \
        >"$logs/pellan-firmware-extract.log" 2>&1
    rc=$?
    folder="$root/C/Program Files/Windows Service/HX402newversion"
    same=0
    for image in "$firmware"/*; do
        if cmp -s "$image" "$folder/$(basename "$image")"; then
            same=$((same + 1))
        else
            echo "differs or missing: $(basename "$image")" >>"$logs/pellan-firmware-extract.log"
            rc=1
        fi
    done
    ((same == 8)) || rc=1
    rm -rf "$root"
    if ((rc == 0)); then
        total_passed=$((total_passed + 1))
        printf 'PASS  %-18s %4d images as embedded   %4ds\n' "firmware resources" "$same" \
            "$(($(date +%s) - t0))"
    else
        total_failed=$((total_failed + 1))
        failed+=("pellan-firmware-extract")
        printf 'FAIL  %-18s %4d of 8 images as embedded, log %s\n' "firmware resources" "$same" \
            "$logs/pellan-firmware-extract.log"
    fi
fi

echo "total: ${#programs[@]} programs, $total_passed tests passed, $total_failed failed," \
     "$total_skipped skipped, $((${#programs[@]} - ${#failed[@]})) programs passed" \
     "in $(($(date +%s) - started))s"
if ((${#failed[@]})); then
    echo "failed programs: ${failed[*]}"
    exit 1
fi
