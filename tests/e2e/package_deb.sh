#!/usr/bin/env bash
# The Debian package: its control fields, its contents, and the programs run from a scratch root
# it was unpacked into (dpkg -x), against the packaged stick simulator. Building the package takes
# minutes, so this runs only with PELLAN_TEST_PACKAGE=1 (scripts/package.sh sets it); PELLAN_DEB
# names a package already built, else it is built here with cpack in BUILD_DIR.
set -euo pipefail

build="${1:?usage: package_deb.sh BUILD_DIR}"
if [[ "${PELLAN_TEST_PACKAGE:-0}" != 1 ]]; then
    echo "package_deb: skipped (set PELLAN_TEST_PACKAGE=1, or run scripts/package.sh)"
    exit 0
fi
build="$(cd "$build" && pwd)"
for tool in dpkg-deb dpkg; do
    command -v "$tool" >/dev/null || { echo "package_deb: $tool is missing" >&2; exit 1; }
done

deb="${PELLAN_DEB:-}"
if [[ -z "$deb" ]]; then
    (cd "$build" && cpack -G DEB >/dev/null)
    deb="$(ls -t "$build"/pellan_*.deb | head -n 1)"
fi
[[ -f "$deb" ]] || { echo "package_deb: no package at '$deb'" >&2; exit 1; }

work="$(mktemp -d)"
sim_pid=""
cleanup() {
    if [[ -n "$sim_pid" ]]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package_deb: $*" >&2; exit 1; }

# Control fields.
[[ "$(dpkg-deb -f "$deb" Package)" == pellan ]] || fail "package name is not pellan"
[[ "$(dpkg-deb -f "$deb" Maintainer)" == "pellan developers <dev@pellan.invalid>" ]] ||
    fail "wrong maintainer: $(dpkg-deb -f "$deb" Maintainer)"
depends="$(dpkg-deb -f "$deb" Depends)"
# Found by dpkg-shlibdeps from the programs: the C library and OpenSSL's libcrypto at least.
for library in libc6 libssl3; do
    grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
echo "Depends: $depends"

# Contents.
contents="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')"
expected=(
    /usr/bin/pellan-cli
    /usr/bin/pellan-stick-sim
    /usr/share/man/man1/pellan-cli.1.gz
    /usr/share/man/man1/pellan-stick-sim.1.gz
    /usr/lib/udev/rules.d/70-pellan-hx402a.rules
    /usr/share/doc/pellan/README.md
    /usr/share/doc/pellan/modemmanager.md
    /usr/share/doc/pellan/docs/stick-ports.md
)
# The desktop program is in the package whenever the build has it (Qt 6 present).
if [[ -x "$build/apps/pellan/pellan" ]]; then
    expected+=(/usr/bin/pellan /usr/share/applications/pellan.desktop
               /usr/share/icons/hicolor/scalable/apps/pellan.svg)
fi
for path in "${expected[@]}"; do
    grep -qxF "$path" <<<"$contents" || fail "$path is not in the package"
done
if grep -q '^/usr/local' <<<"$contents"; then
    fail "files under /usr/local"
fi

# Unpacked into a scratch root, the programs find all their libraries and run.
root="$work/root"
dpkg -x "$deb" "$root"
for program in "$root"/usr/bin/*; do
    if ldd "$program" | grep -q "not found"; then
        fail "$(basename "$program") misses libraries: $(ldd "$program" | grep 'not found')"
    fi
done
status=0
help="$("$root/usr/bin/pellan-cli" --help 2>&1)" || status=$?
echo "$help"
# --help prints the usage and ends with status 0.
[[ $status -eq 0 ]] || fail "pellan-cli --help ended with status $status"
grep -q "^usage: pellan-cli" <<<"$help" || fail "pellan-cli --help printed no usage"
"$root/usr/bin/pellan-stick-sim" --help | grep -q "^usage: pellan-stick-sim" ||
    fail "pellan-stick-sim --help printed no usage"

# The packaged pellan-cli finds the packaged simulator's stick.
stick="$work/stick"
mkdir -p "$stick"
"$root/usr/bin/pellan-stick-sim" --root "$stick" --fast >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 200); do
    [[ -e "$stick/registry.reg" ]] && break
    sleep 0.05
done
ports="$(cd "$work" && "$root/usr/bin/pellan-cli" --device-root "$stick" ports)" ||
    fail "pellan-cli ports against the simulator failed: $ports"
grep -qx "DIAG port: COM5" <<<"$ports" && grep -qx "AT port: COM6" <<<"$ports" ||
    fail "unexpected ports: $ports"

# The man pages as installed.
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings=all -l "$page" 2>&1 >/dev/null || true)"
    [[ -z "$warnings" ]] || fail "$(basename "$page"): $warnings"
done

# The udev rules: udevadm checks them where it can (udev 253 and later); test_packaging parses
# and evaluates them everywhere.
rules="$root/usr/lib/udev/rules.d/70-pellan-hx402a.rules"
if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
    udevadm verify --resolve-names=never "$rules" || fail "udevadm verify rejects $rules"
    echo "udevadm verify: $rules is valid"
else
    echo "udevadm verify is not available here; test_packaging checks the rules"
fi
if command -v desktop-file-validate >/dev/null && [[ -f "$root/usr/share/applications/pellan.desktop" ]]; then
    desktop-file-validate "$root/usr/share/applications/pellan.desktop" || fail "desktop entry"
fi
if command -v xmllint >/dev/null && [[ -f "$root/usr/share/icons/hicolor/scalable/apps/pellan.svg" ]]; then
    xmllint --noout "$root/usr/share/icons/hicolor/scalable/apps/pellan.svg" || fail "icon is not XML"
fi
echo "package_deb: $(basename "$deb") is good"
