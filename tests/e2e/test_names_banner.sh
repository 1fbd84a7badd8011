#!/usr/bin/env bash
# End-to-end: the target and the banner against the lab's DNS server. Forward lookups
# of names, reverse lookups of the target's address (with and without a PTR record),
# -d, the short address forms, the ping-only banner and the message for a name that
# cannot be resolved. Which queries reached the DNS server is read from its query log.
# Most runs use -t 0: the banner and no probe at all.
set -u
export LC_ALL=C

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab

# shellcheck source=cache_lib.sh
source "$E2E_DIR/cache_lib.sh"

# run ARGS...: dns_run as root; for_ptr counts the queries of the address in $ptr_of.
run() { dns_run lab_exec "$@"; }

# expect_banner TITLE NAME ADDRESS ARGS...: a run with -t 0 and ARGS prints the trace
# banner for NAME and ADDRESS (want_banner) and nothing else.
expect_banner() {
    run -t 0 "${@:4}"
    want_banner "Tracing route to" "$2" "$3" "TTL of 0"
    expect_eq "$1" "$want" "$out"
}

# unresolved TITLE CODE NAME ARGS...: a run with ARGS and NAME prints the message for NAME
# with CODE, and "TITLE up to its colon: status" is 1.
unresolved() {
    local title=$1 code=$2 name=$3
    shift 3
    run "$@" "$name"
    expect_eq "$title" "Couldn't resolve $name. Winsock error code $code"$'\n' "$out"
    expect_status "${title%%:*}: status" 1 "$status"
}

# --- A name: forward lookup for the address, reverse lookup for the shown name.
ptr_of=$LAB_TARGET_ADDR
expect_banner "by name: banner with the reverse name" "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" "$LAB_TARGET_NAME"
expect_status "by name: status" 0 "$status"
expect_eq "by name: one forward query" 1 "$for_name"
expect_eq "by name: one reverse query" 1 "$for_ptr"

# The shown name is the reverse name, not the text that was typed.
expect_banner "typed in capitals: the reverse name is shown" "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" TARGET.LAB

# --- An address with a PTR record: no forward lookup, the name from the reverse one.
expect_banner "address with PTR: named banner" "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" "$LAB_TARGET_ADDR"
expect_eq "address with PTR: only the reverse query" "1 1" "$for_ptr $total"

# --- An address without a PTR record: banner without name and brackets.
ptr_of=$LAB_HOP3
expect_banner "address without PTR: bare banner" "" "$LAB_HOP3" "$LAB_HOP3"
expect_status "address without PTR: status" 0 "$status"
expect_eq "address without PTR: reverse query asked" 1 "$for_ptr"

# --- -d: the name is still resolved forward, but nothing is looked up backwards.
ptr_of=$LAB_TARGET_ADDR
expect_banner "-d by name: address only" "" "$LAB_TARGET_ADDR" -d "$LAB_TARGET_NAME"
expect_eq "-d by name: forward query, no reverse query" "1 0 1" "$for_name $for_ptr $total"
expect_banner "-d by address: address only" "" "$LAB_TARGET_ADDR" -d "$LAB_TARGET_ADDR"
expect_eq "-d by address: no query at all" 0 "$total"

# --- Short forms and the limited broadcast address are addresses, not names.
expect_banner "100 reads as 0.0.0.100" "" 0.0.0.100 -d 100
expect_eq "100: no query" 0 "$total"
ptr_of=255.255.255.255
expect_banner "255.255.255.255 is used as it is" "" 255.255.255.255 255.255.255.255
expect_eq "255.255.255.255: its reverse lookup still asked, nothing else" "1 1" "$for_ptr $total"

# --- Ping-only banner: the verb and the data size.
ptr_of=$LAB_TARGET_ADDR
run -o -i 1 -w 1000 -l 100 "$LAB_TARGET_NAME"
mask_times_into masked "$out"
e2e_expected want ecache-ping-named-100
expect_eq "ping-only by name: banner with data size and the reply" "$want" "$masked"
expect_status "ping-only by name: status" 0 "$status"
# The banner's lookup and the one after the answered pass: without -c, both are asked.
expect_eq "ping-only by name: the target's address asked twice" 2 "$for_ptr"
run -o -d -t 0 "$LAB_TARGET_ADDR"
want_banner Pinging "" "$LAB_TARGET_ADDR" "data size of 32"
expect_eq "ping-only with -d: address only, default data size" "$want" "$out"

# --- Names that cannot be resolved: the message, status 1, nothing else printed.
unresolved "unknown name: message" 11001 "$LAB_NXNAME" -t 0
expect_eq "unknown name: the DNS server was asked" 1 "$for_name"
unresolved "unknown name, ping-only: same message" 11001 "$LAB_NXNAME" -o -i 1 -w 100
# A name of the lab without an address record (the router without a PTR name).
unresolved "name without address: message" 11001 r3.lab -t 0
# The resolver's other failures in the same number scheme: a name that exists without
# an address (the lab's zone itself: no data), and a name the server refuses to answer
# for (outside its zones: try again).
unresolved "name without data: 11004" 11004 lab -t 0
unresolved "refused name: 11002" 11002 outside.test -t 0
# A lone option is the target.
unresolved "lone -d is the target" 11001 -d

e2e_finish
