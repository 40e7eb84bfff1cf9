#!/usr/bin/env bash
# The desktop program's command line as a user meets it: --help and --version from the library,
# and a usage error said in one line with exit status 2, before any window opens.
#   usage: command_line.sh PELLAN
set -uo pipefail
PELLAN=${1:?usage: $0 PELLAN}
export QT_QPA_PLATFORM=offscreen
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# expect STATUS PATTERN ARGUMENTS...: the exit status, and a line of the output matching PATTERN.
expect() {
    local status=$1 pattern=$2
    shift 2
    local out
    out=$("$PELLAN" "$@" 2>&1)
    local got=$?
    ((got == status)) || fail "pellan $*: exit status $got, not $status"
    grep -qE -- "$pattern" <<<"$out" || fail "pellan $*: no line matches '$pattern' in: $out"
}

expect 0 '^  --lang <en\|zh> +The interface.s language' --help
expect 0 '^pellan [0-9]+\.[0-9]+\.[0-9]+$' --version
expect 2 "^pellan: --lang takes en or zh, not 'de'\.$" --lang de
expect 2 "^pellan: Unknown option 'bogus'\.$" --bogus
expect 2 "^pellan: Missing value after '--device-root'\.$" --device-root
expect 2 '^pellan: --device-root needs a folder\.$' --device-root=
expect 2 "^pellan: Unexpected argument 'extra'\.$" --fast extra
expect 2 "^Try 'pellan --help' for more information\.$" --factory --lang
((failures == 0)) && echo "PASS: the command line of pellan"
exit $((failures > 0))
