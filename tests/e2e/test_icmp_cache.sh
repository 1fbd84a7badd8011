#!/usr/bin/env bash
# End-to-end: an ICMP trace with -c twice. The first run asks the lab's DNS server for
# every hop's name and leaves them in the cache file beside the program; the second
# shows the same names with no reverse query at all, also for the hop that has no name.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab

cache=$LAB_DIR/bin/tarnhop.cache

# record ADDR NAME: one cache record in hex bytes (address, length, name).
record() {
    local IFS=.
    # shellcheck disable=SC2086 # split the dotted address on purpose
    printf ' %02x' $1
    printf ' %02x' "${#2}"
    [ -z "$2" ] || printf '%s' "$2" | od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/ $//'
}

# PTR queries the DNS server has seen for the target and each hop, in that order.
reverse_queries() {
    local addr
    for addr in "$LAB_TARGET_ADDR" "$LAB_HOP1" "$LAB_HOP2" "$LAB_HOP3" "$LAB_HOP4"; do
        printf '%s ' "$(lab_dns_queries "$addr")"
    done
}

exactly want lab_trace_text
expect_eq "no cache file before the first run" "absent" "$([ -e "$cache" ] && echo present || echo absent)"

e2e_run out err st lab_exec "$program" -c -n 0 "$LAB_TARGET_NAME"
mask_times_into masked "$out"
expect_eq "first run: trace with names" "$want" "$masked"
expect_status "first run: status" 0 "$st"
expect_eq "first run: nothing on stderr" "" "$err"
after_first=$(reverse_queries)
expect_no_match "first run: asked DNS for every address" "$after_first" '(^| )0 '
expected_records="$(record "$LAB_TARGET_ADDR" "$LAB_TARGET_NAME")$(record "$LAB_HOP1" "$LAB_HOP1_NAME")"
expected_records+="$(record "$LAB_HOP2" "$LAB_HOP2_NAME")$(record "$LAB_HOP3" "")"
expected_records+="$(record "$LAB_HOP4" "$LAB_HOP4_NAME")"
expect_eq "first run: the cache holds the target and the four hops, hop 3 without a name" \
    "$expected_records" "$(od -An -v -tx1 "$cache" 2>/dev/null | tr -s ' \n' ' ' | sed 's/ $//')"

e2e_run out err st lab_exec "$program" -c -n 0 "$LAB_TARGET_NAME"
mask_times_into masked "$out"
expect_eq "second run: the same trace" "$want" "$masked"
expect_status "second run: status" 0 "$st"
expect_eq "second run: nothing on stderr" "" "$err"
expect_eq "second run: no reverse query (target, hops 1-4)" "$after_first" "$(reverse_queries)"
expect_eq "second run: the cache is unchanged" \
    "$expected_records" "$(od -An -v -tx1 "$cache" 2>/dev/null | tr -s ' \n' ' ' | sed 's/ $//')"

e2e_finish
