#!/usr/bin/env bash
# End-to-end: the target and the banner against the lab's DNS server. Forward lookups
# of names, reverse lookups of the target's address (with and without a PTR record),
# -d, the short address forms, the ping-only banner and the message for a name that
# cannot be resolved. Which queries reached the DNS server is read from its query log.
# Most runs use -t 0: the banner and no probe at all.
set -u
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab

e2e_copy_program "$LAB_DIR/bin"

dns_settle() { lab_dns_settle || e2e_fail "the DNS server logged a settling query"; }

all_queries() {
    awk '$(NF - 3) ~ /^query\[/ && $(NF - 2) !~ /^settle-/ { n++ } END { print n + 0 }' \
        "$LAB_DNS_LOG"
}

# run NAME ARGS...: runs the program in the client; sets out, status and the number of
# queries the run sent: for_name (A queries of the target text, when it is a name),
# for_ptr (PTR queries of the address in $ptr_of) and total.
ptr_of=$LAB_TARGET_ADDR
run() {
    local last=${*: -1} before_name before_ptr before_all err
    dns_settle
    before_name=$(lab_dns_queries "$last")
    before_ptr=$(lab_dns_queries "$ptr_of")
    before_all=$(all_queries)
    e2e_run out err status lab_exec "$program" "$@"
    dns_settle
    for_name=$(($(lab_dns_queries "$last") - before_name))
    for_ptr=$(($(lab_dns_queries "$ptr_of") - before_ptr))
    total=$(($(all_queries) - before_all))
    [ -z "$err" ] || e2e_fail "nothing on stderr: $*" "$err"
}

# banner VERB NAME ADDRESS QUANTITY: sets want to the banner, its empty lines included.
banner() {
    if [ -n "$2" ]; then
        printf -v want '\n%s %s [%s] with %s:\n\n' "$1" "$2" "$3" "$4"
    else
        printf -v want '\n%s %s with %s:\n\n' "$1" "$3" "$4"
    fi
}

# expect_banner TITLE VERB NAME ADDRESS QUANTITY: the last run's output is that banner.
expect_banner() {
    banner "${@:2}"
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
run -t 0 "$LAB_TARGET_NAME"
expect_banner "by name: banner with the reverse name" "Tracing route to" "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" "TTL of 0"
expect_status "by name: status" 0 "$status"
expect_eq "by name: one forward query" 1 "$for_name"
expect_eq "by name: one reverse query" 1 "$for_ptr"

# The shown name is the reverse name, not the text that was typed.
run -t 0 TARGET.LAB
expect_banner "typed in capitals: the reverse name is shown" "Tracing route to" "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" "TTL of 0"

# --- An address with a PTR record: no forward lookup, the name from the reverse one.
run -t 0 "$LAB_TARGET_ADDR"
expect_banner "address with PTR: named banner" "Tracing route to" "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" "TTL of 0"
expect_eq "address with PTR: only the reverse query" "1 1" "$for_ptr $total"

# --- An address without a PTR record: banner without name and brackets.
ptr_of=$LAB_HOP3
run -t 0 "$LAB_HOP3"
expect_banner "address without PTR: bare banner" "Tracing route to" "" "$LAB_HOP3" "TTL of 0"
expect_status "address without PTR: status" 0 "$status"
expect_eq "address without PTR: reverse query asked" 1 "$for_ptr"

# --- -d: the name is still resolved forward, but nothing is looked up backwards.
ptr_of=$LAB_TARGET_ADDR
run -d -t 0 "$LAB_TARGET_NAME"
expect_banner "-d by name: address only" "Tracing route to" "" "$LAB_TARGET_ADDR" "TTL of 0"
expect_eq "-d by name: forward query, no reverse query" "1 0 1" "$for_name $for_ptr $total"
run -d -t 0 "$LAB_TARGET_ADDR"
expect_banner "-d by address: address only" "Tracing route to" "" "$LAB_TARGET_ADDR" "TTL of 0"
expect_eq "-d by address: no query at all" 0 "$total"

# --- Short forms and the limited broadcast address are addresses, not names.
run -d -t 0 100
expect_banner "100 reads as 0.0.0.100" "Tracing route to" "" 0.0.0.100 "TTL of 0"
expect_eq "100: no query" 0 "$total"
run -d -t 0 198.18.1282
expect_banner "a.b.c form" "Tracing route to" "" 198.18.5.2 "TTL of 0"
ptr_of=255.255.255.255
run -t 0 255.255.255.255
expect_banner "255.255.255.255 is used as it is" "Tracing route to" "" 255.255.255.255 "TTL of 0"
expect_eq "255.255.255.255: its reverse lookup still asked, nothing else" "1 1" \
    "$for_ptr $total"

# --- Ping-only banner: the verb and the data size.
ptr_of=$LAB_TARGET_ADDR
run -o -i 1 -w 1000 -l 100 "$LAB_TARGET_NAME"
mask_times_into masked "$out"
banner Pinging "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" "data size of 100"
expect_eq "ping-only by name: banner with data size and the reply" "${want}Reply from $LAB_TARGET_ADDR: bytes=100 time=Nms TTL=60

Pinging complete.
" "$masked"
expect_status "ping-only by name: status" 0 "$status"
# The banner's lookup and the one after the answered pass: without -c, both are asked.
expect_eq "ping-only by name: the target's address asked twice" 2 "$for_ptr"
run -o -d -t 0 "$LAB_TARGET_ADDR"
expect_banner "ping-only with -d: address only, default data size" Pinging "" "$LAB_TARGET_ADDR" "data size of 32"

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
