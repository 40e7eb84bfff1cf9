#!/usr/bin/env bash
# The long end-to-end runs that the everyday test command leaves out: a whole pellan-cli update
# with the full-size embedded firmware set, and the full-size images written over pseudo-terminals
# with 2% of the acknowledgements dropped. Builds with the sanitizers like scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake --preset asan
cmake --build --preset asan -j "$(nproc)" --target pellan_test_suite
PELLAN_TEST_FULL=1 ctest --preset asan -R 'e2e\.(cli_update_full|programming_pty)$'
