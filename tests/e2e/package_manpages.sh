#!/usr/bin/env bash
# Every option and command that `--help` of pellan-cli and pellan-stick-sim lists is described in
# its man page, so the pages cannot silently fall behind the programs; the pages render without
# warnings.
set -euo pipefail

build="${1:?usage: package_manpages.sh BUILD_DIR}"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"

check_page() {
    local program="$1" page="$2" help missing=0
    [[ -x "$program" ]] || { echo "not built: $program" >&2; exit 1; }
    # pellan-cli prints its usage on a usage error (status 2), the simulator on --help.
    help="$("$program" --help 2>&1 || true)"
    grep -q "usage:" <<<"$help" || { echo "no usage text from $program" >&2; exit 1; }
    local options
    options="$(grep -oE -- '(^|[ |])--?[a-z][a-z0-9-]*' <<<"$help" | sed 's/^[ |]//' | sort -u)"
    [[ -n "$options" ]] || { echo "no options found in the usage of $program" >&2; exit 1; }
    while read -r option; do
        [[ "$option" == "--help" && "$program" == *pellan-cli ]] && continue
        # As roff writes it (\-\-name), and not merely the start of a longer option.
        local pattern="${option//-/\\\\-}"'([^a-z0-9\\]|$)'
        if ! grep -qE -- "$pattern" "$page"; then
            echo "$(basename "$page"): option $option of --help is not described" >&2
            missing=1
        fi
    done <<<"$options"
    # The commands of pellan-cli: the indented words of its "commands:" block.
    if [[ "$program" == *pellan-cli ]]; then
        local commands
        commands="$(sed -n '/^commands:/,/^options:/p' <<<"$help" | awk 'NF && $1 != "commands:" && $1 != "options:" {print $1}')"
        [[ -n "$commands" ]] || { echo "no commands found in the usage of $program" >&2; exit 1; }
        while read -r command; do
            if ! grep -qE -- "^\.B ${command//-/\\\\-}\$" "$page"; then
                echo "$(basename "$page"): command $command is not described" >&2
                missing=1
            fi
        done <<<"$commands"
    fi
    local warnings
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings=all -l "$page" 2>&1 >/dev/null || true)"
    if [[ -n "$warnings" ]]; then
        echo "$(basename "$page") renders with warnings:" >&2
        echo "$warnings" >&2
        missing=1
    fi
    [[ $missing -eq 0 ]] || exit 1
    echo "$(basename "$page"): $(wc -l <<<"$options") options described"
}

check_page "$build/apps/pellan-cli/pellan-cli" "$source_dir/packaging/man/pellan-cli.1"
check_page "$build/apps/pellan-stick-sim/pellan-stick-sim" "$source_dir/packaging/man/pellan-stick-sim.1"
