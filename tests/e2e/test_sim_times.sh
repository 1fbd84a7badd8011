#!/usr/bin/env bash
# End-to-end, simulated network: round-trip times of chosen delays (0, 5, 50 and 300 ms
# show as themselves or one more, never less), several routers answering the probes of
# one hop (one time per probe, the name of the last that answered), and a pass whose
# first probe reaches the target while the others go unanswered (still complete).
# Each case runs with ICMP (raw and datagram socket) and UDP (raw and ordinary socket).
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab sim

sim_names "$LAB_CLIENT" 198.19.1.1 a1.sim 198.19.1.2 b1.sim 198.19.1.3 c1.sim \
    198.19.2.1 a2.sim 198.19.2.2 b2.sim 198.19.9.9 target.sim

sim_text delays <<'EOF'
target 198.19.9.9 delay 5 ttl 61
hop 1 198.19.1.1 delay 5
hop 2 198.19.2.1 delay 50
hop 3 198.19.3.1 delay 300
hop 4 198.19.4.1 delay 0
EOF

sim_text want_delays <<'EOF'

Tracing route to 198.19.9.9 with TTL of 32:

 1  5ms    5ms    5ms    198.19.1.1
 2  50ms   50ms   50ms   198.19.2.1
 3  300ms  300ms  300ms  198.19.3.1
 4  0ms    0ms    0ms    198.19.4.1
 5  5ms    5ms    5ms    198.19.9.9

Traceroute complete.
EOF

sim_text want_ping <<'EOF'

Pinging 198.19.9.9 with data size of 32:

Reply from 198.19.9.9: bytes=32 time=5ms TTL=61
Reply from 198.19.9.9: bytes=32 time=5ms TTL=61
Reply from 198.19.9.9: bytes=32 time=5ms TTL=61

Pinging complete.
EOF

sim_text routers <<'EOF'
target 198.19.9.9 at 3 delay 1
hop 1 198.19.1.1 delay 2 ; 198.19.1.2 delay 3 ; 198.19.1.3 delay 4
hop 2 198.19.2.1 delay 2 ; 198.19.2.2 delay 3 ; silent
EOF

sim_text want_routers <<'EOF'

Tracing route to target.sim [198.19.9.9] with TTL of 32:

 1  2ms    3ms    4ms    c1.sim [198.19.1.3]
 2  2ms    3ms     *     b2.sim [198.19.2.2]
 3  1ms    1ms    1ms    target.sim [198.19.9.9]

Traceroute complete.
EOF

sim_text first_only <<'EOF'
target 198.19.9.9 at 2 delay 5 ; silent
hop 1 198.19.1.1 delay 5
EOF

sim_text want_first_only <<'EOF'

Tracing route to 198.19.9.9 with TTL of 32:

 1  5ms    5ms    5ms    198.19.1.1
 2  5ms     *      *     198.19.9.9

Traceroute complete.
EOF

sim_text want_first_only_ping <<'EOF'

Pinging 198.19.9.9 with data size of 32:

Reply from 198.19.9.9: bytes=32 time=5ms TTL=63
Request timed out.
Request timed out.

Pinging complete.
EOF

# The probes of a 5-hop trace with 3 probes per hop, as the simulator saw them.
want_icmp_wire=$(for t in 1 1 1 2 2 2 3 3 3 4 4 4 5 5 5; do echo "$t 0 32 32"; done)
want_udp_wire=$(k=0; for t in 1 1 1 2 2 2 3 3 3 4 4 4 5 5 5; do
    echo "$t 60001 $((33434 + t)) 40 0 32 $k"; k=$((k + 1)); done)

for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_begin "$delays" || continue
    sim_check "delays of 5, 50, 300 and 0 ms" "$want_delays" -d 198.19.9.9
    if [ "$mode" = icmp-raw ] || [ "$mode" = icmp-dgram ]; then
        expect_eq "$mode: TTL, ToS, payload length, first byte of each echo request" \
            "$want_icmp_wire" "$(sim_probe_fields ttl tos len first)"
    else
        expect_eq "$mode: TTL, ports, length, checksum, payload length, first byte" \
            "$want_udp_wire" "$(sim_probe_fields ttl sport dport ulen csum len first)"
    fi
    sim_begin "$delays" || continue
    sim_check "ping-only replies after 5 ms" "$want_ping" -d -o 198.19.9.9
    expect_eq "$mode: ping-only probes carry TTL 128" "$(printf '128\n128\n128')" \
        "$(sim_probe_fields ttl)"

    sim_begin "$routers" || continue
    sim_check "different routers answer one hop" "$want_routers" -w 300 198.19.9.9

    sim_begin "$first_only" || continue
    sim_check "first probe reaches the target, the others are lost" "$want_first_only" \
        -d -w 300 198.19.9.9
    sim_begin "$first_only" || continue
    sim_check "ping-only: first reply, then two timeouts" "$want_first_only_ping" \
        -d -w 300 -o 198.19.9.9
done
sim_stop

e2e_finish
