#!/usr/bin/env bash
# End-to-end: ICMP echo requests as r1 sees them on its client side: TTLs 1, 2, 3 in
# order, the Type of Service byte, an 8192-byte payload in fragments without the
# don't-fragment flag; late error reports queued on the datagram socket must not stop
# the next request from going out; redirects are no answer.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab

# "tos ttl" of every captured packet (that matches the filter words given), in order.
tos_and_ttl() {
    lab_capture_text "$@" | sed -nE 's/^[0-9:.]+ IP \(tos (0x[0-9a-f]+), ttl ([0-9]+),.*/\1 \2/p'
}

# captured_run WHO FILTER ARGS...: tarnhop run as WHO (root or nobody) with ARGS while r1
# captures what FILTER matches (e2e_captured: out, err, st and shown are set); anything
# on standard error is a failure.
captured_run() {
    e2e_captured "$2" e2e_as "$1" "$program" "${@:3}"
    [ -z "$err" ] || e2e_fail "$1: nothing on stderr" "$err"
}

# The two paths: who, ToS given, ToS on the wire. The ping sockets are opened for nobody.
for path in "root 184 0xb8" "nobody 300 0x2c"; do
    read -r who tos hex <<<"$path"
    [ "$who" = root ] || lab_ping_sockets open
    # Our echo requests only (no fragments after the first, no quoted copies).
    captured_run "$who" "icmp and icmp[icmptype] == icmp-echo and src host $LAB_CLIENT_ADDR" \
        -d -n 0 -w 1000 -t 3 -v "$tos" "$LAB_TARGET_ADDR"
    expect_out "$who: three hops, no completion" three-hops "$shown"
    expect_status "$who: status" 0 "$st"
    # shellcheck disable=SC2059 # HEX is a plain "0x.." word
    expected=$(printf "$hex %s " 1 1 1 2 2 2 3 3 3)
    expect_eq "$who: -v $tos: TTLs 1, 2, 3 in order, ToS $hex" "${expected% }" \
        "$(tos_and_ttl | paste -sd ' ')"

    captured_run "$who" "ip proto 1 and src host $LAB_CLIENT_ADDR" -o -d -i 1 -l 8192 "$LAB_TARGET_ADDR"
    expect_out "$who: -l 8192 ping" ping-8192 "$shown"
    # "id offset flags length" of every fragment.
    fragments=$(lab_capture_text |
        sed -nE 's/^[0-9:.]+ IP \(tos 0x0, ttl 128, id ([0-9]+), offset ([0-9]+), flags \[([^]]*)\], proto ICMP \(1\), length ([0-9]+)\).*/\1 \2 \3 \4/p')
    expect_eq "$who: -l 8192: one datagram of 8200 ICMP bytes in fragments, never DF" \
        "1 8200 0 +" \
        "$(awk '{ ids[$1] = 1; bytes += $4 - 20; if ($3 ~ /DF/) df++; if ($2 == 0) first = $3 }
                END { print length(ids), bytes, df + 0, first }' <<<"$fragments")"
    expect_contains "$who: -l 8192: the first fragment carries the echo request" \
        "$(lab_capture_text -c 1)" "ICMP echo request"
    # After the IP and ICMP headers: 32, 33, ... 125, 32, ... to the fragment's end.
    first_bad=$(lab_capture_bytes -c 1 | tr ' ' '\n' | tail -n +29 |
        awk '{ if ($1 != 32 + (NR - 1) % 94) { print NR - 1 ": " $1; exit } } END { if (NR != 1472) print "count " NR }')
    expect_eq "$who: -l 8192: payload is the printable cycle" "" "$first_bad"
done

# Redirects: r1 sends packets for REDIRECTED back to the client, with a redirect. That
# is no answer (the datagram socket gets it on its error queue, the raw socket too):
# the probe times out.
redirected=198.18.10.1
lab_ns_exec r1 ip route add "$redirected/32" via "$LAB_CLIENT_ADDR"
for who in nobody root; do
    [ "$who" = root ] && lab_ping_sockets closed
    captured_run "$who" "icmp and icmp[icmptype] == icmp-redirect" -o -d -i 1 -w 300 "$redirected"
    expect_out "$who: redirect is no answer" redirected "$shown"
    expect_match "$who: r1 did send the redirect" "$(lab_capture_text)" "ICMP redirect $redirected"
    sleep 0.2
done

# Late reports on the datagram socket. r1's link to the client is slowed to 500 bytes
# a second with a 100-byte bucket, so its time-exceeded messages (70 bytes on the
# link) leave one every 140 ms while a request leaves every 60 ms: from the second on
# they reach the client after their probe (-w 0) gave up, queued there when the next
# request is sent. Every request must still go out, with its own TTL.
lab_ping_sockets open
lab_ns_exec r1 tc qdisc add dev "$LAB_R1_IF_CLIENT" root tbf rate 4kbit burst 100 latency 5s ||
    e2e_fail "slow link on r1"
captured_run nobody icmp -d -w 0 -n 60 -i 6 -t 1 -l 0 "$LAB_TARGET_ADDR"
expect_match "late reports: one hop line of six cells" "$shown" \
    "^ 1  (Nms    | \\*     ){6}(Request timed out\\.|$LAB_HOP1)\$"
# Three stars at least (of the six cells).
expect_within "late reports: reports did come after their probe gave up" 3 6 "$(grep -o ' \*     ' <<<"$shown" | wc -l)"
expect_eq "late reports: six requests with TTL 1 went out" "0x0 1 0x0 1 0x0 1 0x0 1 0x0 1 0x0 1" \
    "$(tos_and_ttl 'icmp[icmptype] == icmp-echo' | paste -sd ' ')"
# Its time-exceeded messages, three at least.
expect_within "late reports: r1 answered" 3 1000000000 "$(lab_capture_text | grep -c 'ICMP time exceeded in-transit')"
expect_status "late reports: status" 0 "$st"

e2e_finish
