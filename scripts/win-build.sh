#!/usr/bin/env bash
# The Windows cross build: pellan-cli.exe and the test programs, with Debian's mingw-w64, in
# build/mingw (CMake preset "mingw"). Installs what is missing first (as root). Wine runs the
# build-time tools; scripts/win-test.sh runs the tests and scripts/win-e2e.sh an update under it.
# Usage: scripts/win-build.sh [extra cmake --build arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 googletest
          nlohmann-json3-dev python3)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Debian has no SQLite for mingw-w64: the history store compiles the amalgamation made from
# Debian's sqlite3 source package.
scripts/win-sqlite.sh build/win-deps/sqlite3

started=$(date +%s)
cmake --preset mingw -DPELLAN_SQLITE_AMALGAMATION="$PWD/build/win-deps/sqlite3"
cmake --build --preset mingw -j2 "$@"
echo "built in $(($(date +%s) - started))s:"
ls -1 build/mingw/apps/pellan-cli/pellan-cli.exe build/mingw/tests/test_*.exe
