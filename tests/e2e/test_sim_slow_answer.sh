#!/usr/bin/env bash
# End-to-end, simulated network, the slow one (about 10 s per probe kind): an answer
# after 10000 ms with -w 11000 fills its time cell with the first seven characters of
# its text, "10000ms" with no space after it, so the next cell follows directly; the
# pass still sends exactly its three probes.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab sim

sim_text scenario <<'EOF'
target 198.19.9.9 at 2 delay 5
hop 1 198.19.1.1 delay 10000 ; 198.19.1.1 delay 5
EOF

sim_text want <<'EOF'

Tracing route to 198.19.9.9 with TTL of 32:

 1  10000ms5ms    5ms    198.19.1.1
 2  5ms    5ms    5ms    198.19.9.9

Traceroute complete.
EOF

for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_begin "$scenario" || continue
    sim_check "an answer after 10 s" "$want" -d -w 11000 198.19.9.9
    expect_eq "$mode: three probes per hop" "$(printf '%s\n' 1 1 1 2 2 2)" "$(sim_probe_fields ttl)"
done
sim_stop

e2e_finish
