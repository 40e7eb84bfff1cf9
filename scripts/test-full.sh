#!/usr/bin/env bash
# The long end-to-end runs that the everyday test command leaves out: a whole pellan-cli update
# with the full-size embedded firmware set, the same for a station of eight sticks at once
# (pellan-cli --lines all), the full-size images written over pseudo-terminals with 2% of the
# acknowledgements dropped, and the shared history on a PostgreSQL server. Builds with the
# sanitizers like scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake --preset asan
cmake --build --preset asan -j "$(nproc)" --target pellan_test_suite
PELLAN_TEST_FULL=1 ctest --preset asan -R 'e2e\.(cli_update_full|cli_station_full|programming_pty)$'
# The history shared by several stations, on a real PostgreSQL server: a throw-away cluster made
# by pg_virtualenv and run by the unprivileged postgres account (the server refuses root), two
# pellan-cli processes recording into it at once.
if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- env PELLAN_TEST_PG=1 PELLAN_HISTORY_RUNS=5 \
        pg_virtualenv bash tests/e2e/history_writers.sh "$PWD/build/asan"
else
    PELLAN_TEST_PG=1 PELLAN_HISTORY_RUNS=5 pg_virtualenv bash tests/e2e/history_writers.sh "$PWD/build/asan"
fi
