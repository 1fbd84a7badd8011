#!/usr/bin/env bash
# The command line end to end: usage text, help words, parse errors and their exit
# status, all on standard output. Nothing here resolves a name or sends a probe to
# anything but 127.0.0.1 given as an address.
set -u
bin=${TARNHOP:?path of the tarnhop binary}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0

# check NAME EXPECTED_STATUS EXPECTED_STDOUT_FILE ARGS...
check() {
    local name=$1 want_status=$2 want_file=$3
    shift 3
    "$bin" "$@" >"$tmp/out" 2>"$tmp/err" </dev/null
    local status=$?
    local ok=1
    if [ "$status" != "$want_status" ]; then
        echo "FAIL $name: exit status $status, expected $want_status"
        ok=0
    fi
    if ! cmp -s "$tmp/out" "$want_file"; then
        echo "FAIL $name: standard output differs"
        diff <(cat -A "$want_file") <(cat -A "$tmp/out") | head -20
        ok=0
    fi
    if [ -s "$tmp/err" ]; then
        echo "FAIL $name: wrote to standard error: $(head -c 200 "$tmp/err")"
        ok=0
    fi
    if [ "$ok" = 1 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
}

expect_text() { printf '%b' "$1" >"$tmp/want"; }

# The usage text, as the program prints it with no argument.
"$bin" >"$tmp/usage" 2>/dev/null
if ! head -n 1 "$tmp/usage" | grep -q "^tarnhop v1.4a compiled [A-Z][a-z][a-z] [ 1-3][0-9] [0-9]\{4\}  "; then
    echo "FAIL usage: first line is not the version line: $(head -n 1 "$tmp/usage")"
    failed=$((failed + 1))
fi
if [ "$(tail -n 1 "$tmp/usage")" != $'\t-v <ToS>       \t Set Type of Service field bits (experts only)' ]; then
    echo "FAIL usage: does not end with the last option line"
    failed=$((failed + 1))
fi
[ "$(wc -l <"$tmp/usage")" = 18 ] || {
    echo "FAIL usage: $(wc -l <"$tmp/usage") lines"
    failed=$((failed + 1))
}

printf '%b' '\nUsage: tarnhop [options] target_name\n\nOptions available:\n' \
    '\t-d             \t Do not attempt to resolve hostnames\n' \
    '\t-c             \t Create and use hostname cache for DNS (tarnhop.cache)\n' \
    '\t-u             \t Use UDP instead of ICMP (raw sockets required)\n' \
    "\t-o             \t Only ping host, don't do trace (useful for UDP ping)\n" \
    '\t-t <TimeToLive>\t Maximum number of hops (default: 32)\n' \
    '\t-p <PauseTime> \t Pause after each hop in ms (default: 0)\n' \
    '\t-n <WaitTime > \t Delay between consecutive pings in ms (default: 10)\n' \
    '\t-l <BuffSize>  \t Number of bytes of data to send (default: 32)\n' \
    '\t-w <TimeOut>   \t Timeout (in milliseconds) (default: 1500)\n' \
    '\t-i <PPIP>      \t Number of pings to send to each hop (default: 3)\n' \
    '\t-v <ToS>       \t Set Type of Service field bits (experts only)\n' >"$tmp/fixed"
if ! cmp -s <(tail -c 758 "$tmp/usage") "$tmp/fixed" || [ "$(wc -c <"$tmp/usage")" -gt 1023 ]; then
    echo "FAIL usage: fixed part differs or the text is too long"
    diff <(tail -c 758 "$tmp/usage" | cat -A) <(cat -A "$tmp/fixed")
    failed=$((failed + 1))
fi

# No argument and the four help words: usage, status 1. Only the first argument counts.
check "no arguments" 1 "$tmp/usage"
for word in /help '/?' -help '-?'; do
    check "help word $word" 1 "$tmp/usage" "$word"
done
check "help word before options" 1 "$tmp/usage" -help -d 127.0.0.1
check "non-option before the target" 1 "$tmp/usage" 127.0.0.1 extra
check "lone dash" 1 "$tmp/usage" - 127.0.0.1

# Parse errors: one message each, status 1.
expect_text 'Bad argument for -t.\n'
check "-t takes -d as its value" 1 "$tmp/want" -t -d 127.0.0.1
check "-t5 takes the target as its value" 1 "$tmp/want" -t5 target
for letter in n i p w v; do
    expect_text "Bad argument for -$letter.\\n"
    check "-$letter with a non-digit" 1 "$tmp/want" -$letter -5 127.0.0.1
done
expect_text 'Bad argument for -l.\n'
check "-l negative" 1 "$tmp/want" -l -5 127.0.0.1
expect_text 'Data Length is too big (must be <= 8192)\n'
check "-l 8193" 1 "$tmp/want" -l 8193 127.0.0.1
check "-l beyond 32 bits" 1 "$tmp/want" -l 99999999999 127.0.0.1
expect_text 'Data Length is too big (must be <= 1492)\n'
check "-u -l 1493" 1 "$tmp/want" -u -l 1493 127.0.0.1
expect_text 'Unrecognized option: -x\n'
check "unknown option" 1 "$tmp/want" -x 127.0.0.1
expect_text 'Unrecognized option: --\n'
check "double dash" 1 "$tmp/want" -- 127.0.0.1

# One output call prints at most 1,023 characters: a very long option is cut, line end
# included.
long="-x$(printf 'y%.0s' $(seq 1 1500))"
printf 'Unrecognized option: %s' "$long" | head -c 1023 >"$tmp/want"
check "long option cut at 1023 characters" 1 "$tmp/want" "$long" 127.0.0.1

# A run with no pass prints the banner alone and ends with status 0.
expect_text '\nTracing route to 127.0.0.1 with TTL of 0:\n\n'
check "banner, trace, no pass" 0 "$tmp/want" -u -d -t 0 127.0.0.1
expect_text '\nPinging 127.0.0.1 with data size of 100:\n\n'
check "banner, ping, no pass" 0 "$tmp/want" -u -o -d -l 100 -t 0 127.0.0.1

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
