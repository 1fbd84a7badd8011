#!/usr/bin/env bash
# End-to-end, simulated network: packets that are no answer to the probe waiting arrive
# around every probe (before its real answer too) and all through the wait of a silent
# hop: another host's echo request, an echo reply with another identifier, late answers
# to the probe before (echo reply and time exceeded), a duplicate answer, a quote cut
# inside its IP header, a bad ICMP checksum, a 4-byte ICMP message and a redirect. The
# results are those of a quiet network, nothing crashes, and each unanswered probe
# waits -w in all, not longer, however many packets arrive meanwhile.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab sim

# The cases are data: tests/sim/cases/noise (they run with -w 300 -n 10).

for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_case noise/trace || continue
    # The wait (-w) plus the gap (-n) plus a little.
    sim_check_waits "$mode" 2 3 300 10 150 300

    sim_case noise/ping
done

e2e_finish
