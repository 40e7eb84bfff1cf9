#!/usr/bin/env bash
# Installs what is missing, builds the tests and the programs they run with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
jobs=$(nproc)
cmake --preset asan
cmake --build --preset asan -j "$jobs" --target pellan_test_suite
# Two tests a core: the long ones mostly wait on pseudo-terminals and timers (tests/CMakeLists.txt).
ctest --preset asan -j "$((jobs * 2))"
