#!/usr/bin/env bash
# Builds the release Debian package (pellan_<version>_<arch>.deb) with CPack and checks it:
# control fields, contents, and the programs run from a scratch root it is unpacked into.
# Usage: scripts/package.sh [BUILD_DIR] (default build/package). JOBS sets the parallel jobs.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/package}
jobs=${JOBS:-$(nproc)}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DPELLAN_BUILD_TESTS=OFF -DPELLAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G DEB)
deb="$(ls -t "$build"/pellan_*.deb | head -n 1)"
PELLAN_TEST_PACKAGE=1 PELLAN_DEB="$(pwd)/$deb" bash tests/e2e/package_deb.sh "$build"
echo "package: $deb"
