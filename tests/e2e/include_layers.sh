#!/usr/bin/env bash
# The core's folders include one another only downwards, and only platform/ includes headers of
# the operating system. Every #include "folder/..." of src/ is held against the table below; a
# file that breaks it is named with the include.
set -euo pipefail
src="$(cd "$(dirname "$0")/../.." && pwd)/src"

declare -A allowed=(
    [platform]="platform"
    [transport]="transport platform"
    [diag]="diag transport platform"
    [firmware]="firmware platform"
    [download]="download diag firmware transport platform"
    [programming]="programming download diag firmware transport platform"
    [nv]="nv diag firmware transport platform"
    [history]="history platform"
    [line]="line history programming download nv diag firmware transport platform"
    [ui]="ui line history programming download nv diag firmware transport platform"
)
os_headers='windows\.h|winioctl\.h|setupapi\.h|devguid\.h|bcrypt\.h|unistd\.h|termios\.h|fcntl\.h|poll\.h|pty\.h|dirent\.h|pthread\.h|libudev\.h|spawn\.h|signal\.h|sys/[a-z_]+\.h|linux/[a-z_]+\.h'

failures=0
checked=0
for dir in "$src"/*/; do
    folder=$(basename "$dir")
    if [[ -z "${allowed[$folder]+set}" ]]; then
        echo "src/$folder is not in the include table" >&2
        failures=$((failures + 1))
        continue
    fi
    for file in "$dir"*.h "$dir"*.cpp; do
        [[ -e "$file" ]] || continue
        checked=$((checked + 1))
        while IFS= read -r line; do
            target=${line#*\"}
            target=${target%%/*}
            if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
                echo "src/$folder/$(basename "$file"): $line (src/$folder may include: ${allowed[$folder]})" >&2
                failures=$((failures + 1))
            fi
        done < <(grep -E '^\s*#\s*include\s+"[a-z_]+/' "$file" || true)
        if [[ "$folder" != platform ]]; then
            while IFS= read -r line; do
                echo "src/$folder/$(basename "$file"): $line (an operating system header outside platform/)" >&2
                failures=$((failures + 1))
            done < <(grep -E "^\s*#\s*include\s+<($os_headers)>" "$file" || true)
        fi
    done
done
if ((checked < 50)); then
    echo "only $checked files found under $src" >&2
    exit 1
fi
if ((failures > 0)); then
    echo "$failures includes against the table" >&2
    exit 1
fi
echo "$checked files of src/ follow the include table"
