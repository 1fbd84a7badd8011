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

# The cases are data: tests/sim/cases/times.

# The probes of a 5-hop trace with 3 probes per hop, as the simulator saw them.
want_icmp_wire=$(for t in 1 1 1 2 2 2 3 3 3 4 4 4 5 5 5; do echo "$t 0 32 32"; done)
want_udp_wire=$(k=0; for t in 1 1 1 2 2 2 3 3 3 4 4 4 5 5 5; do
    echo "$t 60001 $((33434 + t)) 40 0 32 $k"; k=$((k + 1)); done)

for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_case times/delays || continue
    if [ "$mode" = icmp-raw ] || [ "$mode" = icmp-dgram ]; then
        expect_eq "$mode: TTL, ToS, payload length, first byte of each echo request" \
            "$want_icmp_wire" "$(sim_probe_fields ttl tos len first)"
    else
        expect_eq "$mode: TTL, ports, length, checksum, payload length, first byte" \
            "$want_udp_wire" "$(sim_probe_fields ttl sport dport ulen csum len first)"
    fi
    sim_case times/delays-ping || continue
    expect_eq "$mode: ping-only probes carry TTL 128" "$(printf '128\n128\n128')" \
        "$(sim_probe_fields ttl)"
    for case in routers first-only first-only-ping; do
        sim_case "times/$case"
    done
done
sim_stop

e2e_finish
