#!/usr/bin/env bash
# Installs the Debian 12 packages that pellan needs to build, test and run, when they are missing.
# As root it runs apt-get; otherwise it prints the command to run.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libssl-dev            # libcrypto: MD5 of the stick's challenge (EVP interface)
    libgtest-dev libgmock-dev  # unit and integration tests
    libbenchmark-dev      # benchmarks
    nlohmann-json3-dev    # every JSON the programs read or write (reports, events, history)
    libcli11-dev          # the command-line options of pellan-cli and pellan-stick-sim
    libudev-dev           # the stick's ports on real hardware, and the monitor of its comings and goings
    umockdev libumockdev-dev gir1.2-umockdev-1.0 python3-gi  # tests/e2e/udev_testbed.sh: mocked sticks through udev
    libsqlite3-dev        # the station's history of jobs and NV backups
    libpq-dev             # the history shared by several stations (PostgreSQL)
    postgresql            # scripts/test-full.sh: a throw-away server for that history
    python3-jsonschema    # tests/e2e/cli_events.sh: pellan-cli --json against its schema
    clang-format
)
if [[ "${PELLAN_WITH_GUI:-1}" == 1 ]]; then
    packages+=(qt6-base-dev fonts-noto-cjk)  # the desktop program and its Chinese texts
    # Qt Linguist's tools: lrelease compiles the Chinese captions, lupdate refreshes the .ts
    packages+=(qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools)
fi
if [[ "${PELLAN_WITH_COVERAGE:-0}" == 1 ]]; then
    packages+=(gcovr)  # scripts/coverage.sh only
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
