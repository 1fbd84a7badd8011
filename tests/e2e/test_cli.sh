#!/usr/bin/env bash
# The command line end to end: usage text, help words, parse errors and their exit
# status, all on standard output. Nothing here resolves a name or sends a probe to
# anything but 127.0.0.1 given as an address.
set -u

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_require_tarnhop

# check NAME EXPECTED_STATUS EXPECTED_STDOUT ARGS...: that output, that status, nothing
# on standard error.
check() {
    e2e_check_run cat "$1" "$3" "$2" "$TARNHOP" "${@:4}"
}

# The usage text, as the program prints it with no argument.
e2e_run usage err st "$TARNHOP"
expect_match "usage: first line is the version line" "$(printf '%s' "$usage" | head -n 1)" \
    "^tarnhop v1.4a compiled [A-Z][a-z][a-z] [ 1-3][0-9] [0-9]{4}  "
expect_eq "usage: ends with the last option line" \
    $'\t-v <ToS>       \t Set Type of Service field bits (experts only)' "$(printf '%s' "$usage" | tail -n 1)"
expect_eq "usage: 18 lines" 18 "$(printf '%s' "$usage" | wc -l)"
# The part after the version and credit lines, byte for byte (the unit tests read the same
# file).
exactly fixed cat "$E2E_DIR/../unit/data/usage_options.txt"
expect_eq "usage: the fixed part" "$fixed" "${usage: -${#fixed}}"
expect_within "usage: at most 1023 characters" 0 1023 "${#usage}"

# No argument and the four help words: usage, status 1. Only the first argument counts.
check "no arguments" 1 "$usage"
for word in /help '/?' -help '-?'; do
    check "help word $word" 1 "$usage" "$word"
done
check "help word before options" 1 "$usage" -help -d 127.0.0.1
check "non-option before the target" 1 "$usage" 127.0.0.1 extra
check "lone dash" 1 "$usage" - 127.0.0.1

# Parse errors: one message each, status 1. Each line of the table: message|name|arguments.
while IFS='|' read -r message name args; do
    # shellcheck disable=SC2086 # the arguments are split on purpose
    check "$name" 1 "$message"$'\n' $args
done <"$E2E_DIR/expected/cli-errors.txt"

# One output call prints at most 1,023 characters: a very long option is cut, line end
# included.
long="-x$(printf 'y%.0s' $(seq 1 1500))"
check "long option cut at 1023 characters" 1 "$(printf 'Unrecognized option: %s' "$long" | head -c 1023)" \
    "$long" 127.0.0.1

# A run with no pass prints the banner alone and ends with status 0.
check "banner, trace, no pass" 0 $'\nTracing route to 127.0.0.1 with TTL of 0:\n\n' -u -d -t 0 127.0.0.1
check "banner, ping, no pass" 0 $'\nPinging 127.0.0.1 with data size of 100:\n\n' \
    -u -o -d -l 100 -t 0 127.0.0.1

e2e_finish
