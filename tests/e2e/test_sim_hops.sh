#!/usr/bin/env bash
# End-to-end, simulated network: hop counts that real labs do not reach.
# - Ping-only mode over a path longer than 128 hops: the first pass's answers are time
#   exceeded (11013) yet print reply lines with the target's address, and the next pass
#   sends with TTL 129 (UDP: to port 33563) and reaches the target.
# - -t 300: hop numbers 100 to 255 take three places, then the TTL wraps to 0 (a probe
#   that cannot go out, unanswered at once), 1, 2 ... up to the 300th pass.
# - -i 0: no probe at all; each hop number is followed directly by "Request timed out."
#   in trace mode, and ping-only mode prints nothing after the banner.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab sim

# The cases are data: tests/sim/cases/hops (hops/wrap: every TTL from 1 to 255 has its
# own router, 198.19.1.TTL, answering at once; the TTLs and ports of long-path-ping and
# the empty probe lists of no-probes-*: their .probes files).

# Milliseconds between the arrival of the probe with TTL 255 and the next probe.
after_ttl_255() {
    sim_probe_fields t ttl | awk 'previous == 255 { printf "%d\n", $1 - t } { t = $1; previous = $2 }'
}

for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_case hops/long-path-ping || continue
    sim_case hops/wrap || continue
    expect_eq "$mode: probes that reached the network with -t 300" 299 \
        "$(sim_probes | grep -c .)"
    expect_eq "$mode: no probe left with TTL 0" "" "$(sim_probe_fields ttl | grep -x 0)"
    gap=$(after_ttl_255)
    [[ $gap =~ ^[0-9]+$ ]] && ((gap < 500))
    expect_true "$mode: the TTL-0 probe gave up at once (${gap} ms from TTL 255 to TTL 1)" $? \
        "from TTL 255 to TTL 1: '$gap' ms, -w 1000"

    sim_case hops/no-probes-trace
    sim_case hops/no-probes-ping
done

e2e_finish
