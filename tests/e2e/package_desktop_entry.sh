#!/usr/bin/env bash
# The desktop entry as a menu reads it: one [Desktop Entry] group of unique keys that starts the
# pellan program, not in a terminal, with the icon the package installs into the icon theme.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
entry="$source_dir/packaging/desktop/pellan.desktop"
fail() { echo "package_desktop_entry: $*" >&2; exit 1; }

keys="$(grep -v -e '^#' -e '^$' "$entry")"
[[ "$(grep '^\[' <<<"$keys")" == "[Desktop Entry]" ]] || fail "not exactly one [Desktop Entry] group"
keys="$(grep -v '^\[' <<<"$keys")"
grep -qv '=' <<<"$keys" && fail "a line that is no key: $(grep -v '=' <<<"$keys")"
twice="$(cut -d= -f1 <<<"$keys" | sort | uniq -d)"
[[ -z "$twice" ]] || fail "keys given twice: $twice"
value() { sed -n "s/^$1=//p" <<<"$keys"; }
for expected in Type=Application Exec=pellan Terminal=false Icon=pellan; do
    [[ "$(value "${expected%%=*}")" == "${expected#*=}" ]] || fail "$expected expected"
done
[[ -n "$(value Name)" ]] || fail "no Name"
for list in Categories Keywords; do
    [[ "$(value "$list")" == *\; ]] || fail "the $list list does not end with ';'"
done

# The icon theme finds the icon by name; it must scale, so a square SVG.
icon="$source_dir/packaging/icons/$(value Icon).svg"
[[ -f "$icon" ]] || fail "no icon $icon"
head -c 5 "$icon" | grep -q '^<?xml' || fail "the icon does not start as XML"
grep -q 'viewBox="0 0 64 64"' "$icon" || fail "the icon is not a square 64 x 64 drawing"
if command -v xmllint >/dev/null; then
    xmllint --noout "$icon" || fail "the icon is not well-formed XML"
fi
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" || fail "desktop-file-validate rejects the entry"
fi
echo "package_desktop_entry: the entry and its icon are good"
