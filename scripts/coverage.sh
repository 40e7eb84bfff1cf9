#!/usr/bin/env bash
# Line and branch coverage of src/ and of src/ + sim/ from every test of the test command
# (scripts/test.sh): a Debug build with --coverage in build/coverage, the whole ctest suite, then
# gcovr. The Windows-only files (*_win32.*) are left out, since a Linux run cannot reach them.
#
# Usage: scripts/coverage.sh [-j JOBS]    (JOBS defaults to the number of cores)
# Writes build/coverage/coverage.json (per file) and prints the four figures last.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
while getopts "j:" opt; do
    case $opt in
    j) jobs=$OPTARG ;;
    *) echo "usage: $0 [-j JOBS]" >&2; exit 2 ;;
    esac
done

PELLAN_WITH_COVERAGE=1 scripts/setup-deps.sh

build=build/coverage
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage
cmake --build "$build" -j "$jobs" --target pellan_test_suite

# Counters of an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
# As in the test command, two tests a core (most of the long ones wait). A failing test still
# counts what it ran, but the figures are then not the whole suite's: say so.
tests_rc=0
ctest --test-dir "$build" -j "$((jobs * 2))" --output-on-failure || tests_rc=$?

# gcov reads every counter file once into a tracefile; the two summaries filter it.
trace="$build/coverage.json"
# Counter files are looked for in the coverage build only: other build folders hold their own
# (and a Wine prefix's z: drive leads back to / and into every checkout on the machine).
gcovr --root . --object-directory "$build" --gcov-ignore-parse-errors -j "$jobs" \
    --exclude-directories "$build/CMakeFiles" \
    --filter 'src/' --filter 'sim/' --exclude '.*_win32\.(cpp|h)$' --json "$trace" "$build"

summary() {
    local label=$1
    shift
    gcovr --root . --add-tracefile "$trace" "$@" --exclude '.*_win32\.(cpp|h)$' \
        --json-summary "$build/summary.json" >/dev/null
    python3 - "$label" "$build/summary.json" <<'EOF'
import json, sys
label, path = sys.argv[1], sys.argv[2]
s = json.load(open(path))
print(f"  {label:<12} lines {s['line_percent']:5.1f} % ({s['line_covered']} of {s['line_total']})"
      f"   branches {s['branch_percent']:5.1f} % ({s['branch_covered']} of {s['branch_total']})")
EOF
}

echo
echo "Coverage (gcovr $(gcovr --version | sed -n '1s/^gcovr //p'), *_win32 files left out):"
summary "src/" --filter 'src/'
summary "src/ + sim/" --filter 'src/' --filter 'sim/'
if ((tests_rc != 0)); then
    echo "ctest failed (exit status $tests_rc): the figures above are of an incomplete run" >&2
    exit "$tests_rc"
fi
