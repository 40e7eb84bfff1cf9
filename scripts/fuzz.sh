#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# in a build folder of their own, then runs each target from its seed corpus for a given time (or
# number of runs) and prints the executions per target and any crash.
#
# usage: scripts/fuzz.sh [-t SECONDS | -n RUNS] [-j BUILD_JOBS] [-b BUILD_DIR] [TARGET...]
#   -t SECONDS   time per target (default 60)
#   -n RUNS      stop each target after RUNS executions instead (libFuzzer -runs)
# Findings are written to BUILD_DIR/findings/<target>/; the corpus grown by a run goes to
# BUILD_DIR/corpus/<target>/ (the seeds in fuzz/corpus/ stay as they are).
set -euo pipefail

SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_PER_TARGET=60
RUNS=""
JOBS=2
BUILD_DIR="$SOURCE_DIR/build/fuzz"
while getopts "t:n:j:b:" opt; do
    case $opt in
        t) SECONDS_PER_TARGET=$OPTARG ;;
        n) RUNS=$OPTARG ;;
        j) JOBS=$OPTARG ;;
        b) BUILD_DIR=$OPTARG ;;
        *) sed -n '2,10p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

ALL_TARGETS=(fuzz_diag_reply fuzz_dmss_reply fuzz_stream_reply fuzz_stream_scan fuzz_at_reply
             fuzz_reg_file fuzz_settings_file fuzz_nvm_file fuzz_location_scan)
TARGETS=("${@:-${ALL_TARGETS[@]}}")

command -v clang++ >/dev/null || { echo "clang++ is not installed (apt-get install clang)" >&2; exit 2; }
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null; then
    echo "clang's fuzzer runtime is missing (apt-get install libclang-rt-14-dev)" >&2
    exit 2
fi

SAN="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLAN_FUZZ=ON -DPELLAN_BUILD_TESTS=OFF -DPELLAN_WERROR=ON \
    -DPELLAN_BUILD_GUI=OFF "-DCMAKE_CXX_FLAGS=$SAN" "-DCMAKE_C_FLAGS=$SAN" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${TARGETS[@]}" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

printf '%-20s %12s %10s %8s %8s %s\n' target executions exec/s seconds crashes result
status=0
for target in "${TARGETS[@]}"; do
    corpus="$BUILD_DIR/corpus/$target"
    findings="$BUILD_DIR/findings/$target"
    log="$BUILD_DIR/findings/$target.log"
    mkdir -p "$corpus" "$findings"
    limit=(-max_total_time="$SECONDS_PER_TARGET")
    [[ -z $RUNS ]] || limit=(-runs="$RUNS")
    started=$SECONDS
    set +e
    "$BUILD_DIR/fuzz/$target" "${limit[@]}" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" \
        "$corpus" "$SOURCE_DIR/fuzz/corpus/$target" >"$log" 2>&1
    rc=$?
    set -e
    took=$((SECONDS - started))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    crashes=$(find "$findings" -type f | wc -l)
    result=ok
    if [[ $rc -ne 0 || $crashes -ne 0 ]]; then
        result="FOUND (exit $rc, see $log)"
        status=1
    fi
    printf '%-20s %12s %10s %8s %8s %s\n' "$target" "${execs:-?}" "${speed:-?}" "$took" "$crashes" \
        "$result"
done
exit $status
