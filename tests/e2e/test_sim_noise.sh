#!/usr/bin/env bash
# End-to-end, simulated network: packets that are no answer to the probe waiting arrive
# around every probe (before its real answer too) and all through the wait of a silent
# hop: another host's echo request, an echo reply with another identifier, late answers
# to the probe before (echo reply and time exceeded), a duplicate answer, a quote cut
# inside its IP header, a bad ICMP checksum, a 4-byte ICMP message and a redirect. The
# results are those of a quiet network, nothing crashes, and each unanswered probe
# waits -w in all, not longer, however many packets arrive meanwhile.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab sim

sim_text scenario <<'EOF'
target 198.19.9.9 at 3 delay 5
hop 1 198.19.1.1 delay 5
hop 2 silent
inject every echo-request after 1
inject every earlier echo-reply after 1
inject every other-reply after 2
inject every truncated after 2
inject every bad-checksum after 3
inject every tiny after 3
inject every redirect after 4
inject every earlier time-exceeded from 198.19.1.1 after 4
inject ttl 1 duplicate after 8
inject ttl 2 echo-request after 100
inject ttl 2 other-reply after 150
inject ttl 2 earlier time-exceeded from 198.19.1.1 after 200
inject ttl 2 earlier echo-reply after 230
inject ttl 2 redirect after 250
inject ttl 2 truncated after 280
EOF

sim_text want_trace <<'EOF'

Tracing route to 198.19.9.9 with TTL of 32:

 1  5ms    5ms    5ms    198.19.1.1
 2   *      *      *     Request timed out.
 3  5ms    5ms    5ms    198.19.9.9

Traceroute complete.
EOF

sim_text want_ping <<'EOF'

Pinging 198.19.9.9 with data size of 32:

Reply from 198.19.9.9: bytes=32 time=5ms TTL=62
Reply from 198.19.9.9: bytes=32 time=5ms TTL=62
Reply from 198.19.9.9: bytes=32 time=5ms TTL=62

Pinging complete.
EOF

wait_ms=300
gap_ms=10

# Milliseconds from each probe with TTL 2 to the probe after it, as the simulator saw
# them arrive: the wait (-w) plus the gap (-n) plus a little.
silent_intervals() {
    sim_probe_fields t ttl | awk '
        previous_ttl == 2 { printf "%d\n", $1 - previous_t }
        { previous_t = $1; previous_ttl = $2 }'
}

noise_kinds=("noise echo-request" "late echo-reply" "noise echo-reply other id"
    "noise truncated quote" "noise bad checksum" "noise 4-byte icmp" "noise icmp 5/1"
    "late icmp 11/0" "duplicate icmp 11/0")

for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_begin "$scenario" || continue
    sim_check "trace through the noise" "$want_trace" -d -w "$wait_ms" -n "$gap_ms" 198.19.9.9
    sent=$(sim_sent)
    for kind in "${noise_kinds[@]}"; do
        expect_contains "$mode: the simulator sent: $kind" "$sent" ": $kind"
    done
    intervals=$(silent_intervals)
    expect_eq "$mode: three probes waited at the silent hop" 3 "$(printf '%s\n' "$intervals" | grep -c .)"
    while read -r interval; do
        if ((interval >= wait_ms && interval <= wait_ms + gap_ms + 150)); then
            e2e_pass "$mode: an unanswered probe waited ${interval} ms with -w $wait_ms -n $gap_ms"
        else
            e2e_fail "$mode: an unanswered probe waited ${interval} ms with -w $wait_ms -n $gap_ms"
        fi
    done <<<"$intervals"

    sim_begin "$scenario" || continue
    sim_check "ping through the noise" "$want_ping" -d -w "$wait_ms" -o 198.19.9.9
done
sim_stop

e2e_finish
