#!/usr/bin/env bash
# ThreadSanitizer build and run of the multi-line tests: eight polling loops and two jobs at once
# against the in-process simulator (tests/threads), and the view's job and polling tests
# (tests/ui). A data race or lock-order problem fails the run.
#
# usage: scripts/tsan.sh [-j BUILD_JOBS] [-b BUILD_DIR]
set -euo pipefail

SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
JOBS=2
BUILD_DIR="$SOURCE_DIR/build/tsan"
while getopts "j:b:" opt; do
    case $opt in
        j) JOBS=$OPTARG ;;
        b) BUILD_DIR=$OPTARG ;;
        *) sed -n '2,7p' "$0" >&2; exit 2 ;;
    esac
done

command -v clang++ >/dev/null || { echo "clang++ is not installed (apt-get install clang)" >&2; exit 2; }
TSAN="-fsanitize=thread -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLAN_BUILD_GUI=OFF -DPELLAN_WERROR=ON \
    "-DCMAKE_CXX_FLAGS=$TSAN" "-DCMAKE_C_FLAGS=$TSAN" "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" \
    >/dev/null
TESTS=(test_threads test_ui)
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${TESTS[@]}" >/dev/null

# halt_on_error: the first report fails the program; the exit code says so.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:exitcode=66}
status=0
for test in "${TESTS[@]}"; do
    log="$BUILD_DIR/$test.tsan.log"
    set +e
    "$BUILD_DIR/tests/$test" --gtest_brief=1 >"$log" 2>&1
    rc=$?
    set -e
    races=$(grep -c '^WARNING: ThreadSanitizer' "$log" || true)
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log")
    if [[ $rc -eq 0 && $races -eq 0 ]]; then
        echo "$test: clean (${passed:-0} tests passed, no ThreadSanitizer report)"
    else
        echo "$test: FAILED (exit $rc, $races ThreadSanitizer report(s); see $log)"
        status=1
    fi
done
exit $status
