#!/usr/bin/env bash
# SQLite for the Windows cross build. Debian packages no SQLite for mingw-w64, so this makes the
# amalgamation (sqlite3.c, sqlite3.h) from Debian's own sqlite3 source package, the same release
# as the host's libsqlite3-dev, and the build compiles it with mingw-w64 (src/CMakeLists.txt,
# PELLAN_SQLITE_AMALGAMATION). Adds a deb-src entry for the machine's Debian suites when apt has
# none (as root). Usage: scripts/win-sqlite.sh OUTPUT_FOLDER   (does nothing when it is there)
set -euo pipefail
out=${1:?usage: $0 OUTPUT_FOLDER}
if [[ -s "$out/sqlite3.c" && -s "$out/sqlite3.h" ]]; then
    exit 0
fi
for tool in tclsh make gcc; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [[ -n "${missing[*]:-}" || -z "$(apt-cache showsrc sqlite3 2>/dev/null | head -1)" ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "Needs root once: the tcl, make and gcc packages and a deb-src entry for sqlite3" >&2
        exit 1
    fi
    if [[ -z "$(apt-cache showsrc sqlite3 2>/dev/null | head -1)" ]]; then
        . /etc/os-release
        cat >/etc/apt/sources.list.d/pellan-deb-src.sources <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $VERSION_CODENAME $VERSION_CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
        apt-get update -qq
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends tcl make gcc
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source --download-only -qq sqlite3 2>/dev/null)
orig=$(ls "$work"/sqlite3_*.orig.tar.* | grep -v -- '-www' | head -1)
tar -xf "$orig" -C "$work"
source_dir=$(find "$work" -maxdepth 1 -type d -name 'sqlite3-*' | head -1)
mkdir -p "$work/build"
(cd "$work/build" && "$source_dir/configure" --disable-tcl >configure.log 2>&1 &&
    make sqlite3.c >make.log 2>&1)
mkdir -p "$out"
cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$out/"
echo "SQLite $(basename "$source_dir" | sed 's/sqlite3-//') amalgamation in $out"
