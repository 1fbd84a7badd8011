#!/usr/bin/env bash
# End-to-end, simulated network: round-trip times of chosen delays (0, 5, 50 and 300 ms
# show as themselves or one more, never less), several routers answering the probes of
# one hop (one time per probe, the name of the last that answered), and a pass whose
# first probe reaches the target while the others go unanswered (still complete).
# Each case runs with ICMP (raw and datagram socket) and UDP (raw and ordinary socket).
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab sim

sim_names "$LAB_CLIENT" 198.19.1.1 a1.sim 198.19.1.2 b1.sim 198.19.1.3 c1.sim \
    198.19.2.1 a2.sim 198.19.2.2 b2.sim 198.19.9.9 target.sim

# The cases are data: tests/sim/cases/times (the probes of delays and delays-ping as the
# simulator saw them: their .probes files).
for mode in $(sim_modes); do
    sim_mode "$mode"
    for case in delays delays-ping routers first-only first-only-ping; do
        sim_case "times/$case"
    done
done

e2e_finish
