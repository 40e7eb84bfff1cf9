#!/usr/bin/env bash
# A program that carries the embedded firmware set writes the eight images into the working
# folder under a device root, byte for byte as the generator (or the configured real folder)
# has them; a second start overwrites them with the same bytes.
set -euo pipefail

build="${1:?usage: firmware_extract.sh BUILD_DIR}"
extract="$build/tools/pellan-firmware-extract"
mkfirmware="$build/tools/pellan-mkfirmware"
for program in "$extract" "$mkfirmware"; do
    [[ -x "$program" ]] || { echo "not built: $program" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
root="$work/root"
mkdir -p "$root"

# The set to compare with: the real images when the build embeds them, else a fresh synthetic set.
reference="$(sed -n 's/^PELLAN_FIRMWARE_DIR:PATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)"
if [[ -z "$reference" ]]; then
    reference="$work/generated"
    "$mkfirmware" "$reference"
fi

folder="$root/C/Program Files/Windows Service/HX402newversion"
names=(amss.mbn armprg.bin dbl.mbn efs.mbn fsbl.mbn nandprgcombined.mbn osbl.mbn partition.mbn)

check_folder() {
    local listed
    listed="$(cd "$folder" && LC_ALL=C ls -A | tr '\n' ' ')"
    [[ "$listed" == "${names[*]} " ]] || { echo "unexpected entries: $listed" >&2; exit 1; }
    for name in "${names[@]}"; do
        cmp "$reference/$name" "$folder/$name"
    done
}

printed="$("$extract" --device-root "$root")"
[[ "$printed" == "$folder" ]] || { echo "wrong folder: $printed" >&2; exit 1; }
check_folder

printf 'stale' > "$folder/amss.mbn"
"$extract" --device-root "$root" > /dev/null
check_folder

echo "firmware set extracted and identical: ${names[*]}"
