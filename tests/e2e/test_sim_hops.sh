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

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab sim

sim_text long_path <<'EOF'
target 198.19.9.9 at 129 delay 3 ttl 77
hop 128 198.19.128.1 delay 2 ttl 200
EOF

sim_text want_long_path <<'EOF'

Pinging 198.19.9.9 with data size of 32:

Reply from 198.19.9.9: bytes=32 time=2ms TTL=200
Reply from 198.19.9.9: bytes=32 time=2ms TTL=200
Reply from 198.19.9.9: bytes=32 time=2ms TTL=200
Reply from 198.19.9.9: bytes=32 time=3ms TTL=77
Reply from 198.19.9.9: bytes=32 time=3ms TTL=77
Reply from 198.19.9.9: bytes=32 time=3ms TTL=77

Pinging complete.
EOF

# Every TTL from 1 to 255 has its own router, 198.19.1.TTL, answering at once.
every_hop=""
for ((k = 1; k <= 255; k++)); do
    every_hop+="hop $k 198.19.1.$k"$'\n'
done

want_wrap=$(
    printf '\nTracing route to 198.19.9.9 with TTL of 300:\n\n'
    for ((pass = 1; pass <= 300; pass++)); do
        ttl=$((pass % 256))
        if ((ttl == 0)); then
            printf ' 0   *     Request timed out.\n'
        else
            printf '%2d  0ms    198.19.1.%d\n' "$ttl" "$ttl"
        fi
    done
    printf x
)
want_wrap=${want_wrap%x}

sim_text want_no_probes_trace <<'EOF'

Tracing route to 198.19.9.9 with TTL of 3:

 1  Request timed out.
 2  Request timed out.
 3  Request timed out.
EOF

sim_text want_no_probes_ping <<'EOF'

Pinging 198.19.9.9 with data size of 32:

EOF

# Milliseconds between the arrival of the probe with TTL 255 and the next probe.
after_ttl_255() {
    sim_probe_fields t ttl | awk 'previous == 255 { printf "%d\n", $1 - t } { t = $1; previous = $2 }'
}

for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_begin "$long_path" || continue
    sim_check "ping-only over 129 hops" "$want_long_path" -d -w 500 -o 198.19.9.9
    expect_eq "$mode: TTLs of the two passes" "$(printf '%s\n' 128 128 128 129 129 129)" \
        "$(sim_probe_fields ttl)"
    if [ "$mode" = udp-raw ] || [ "$mode" = udp-dgram ]; then
        expect_eq "$mode: ports of the two passes" \
            "$(printf '%s\n' 33562 33562 33562 33563 33563 33563)" "$(sim_probe_fields dport)"
    fi

    sim_begin "$every_hop" || continue
    sim_check "-t 300: hop numbers wrap after 255" "$want_wrap" -d -t 300 -i 1 -n 0 -w 1000 \
        198.19.9.9
    expect_eq "$mode: probes that reached the network with -t 300" 299 \
        "$(sim_probes | grep -c .)"
    expect_eq "$mode: no probe left with TTL 0" "" "$(sim_probe_fields ttl | grep -x 0)"
    gap=$(after_ttl_255)
    if [[ $gap =~ ^[0-9]+$ ]] && ((gap < 500)); then
        e2e_pass "$mode: the TTL-0 probe gave up at once (${gap} ms from TTL 255 to TTL 1)"
    else
        e2e_fail "$mode: the TTL-0 probe gave up at once" "from TTL 255 to TTL 1: '$gap' ms, -w 1000"
    fi

    sim_begin "$long_path" || continue
    sim_check "-i 0 in trace mode" "$want_no_probes_trace" -d -t 3 -i 0 198.19.9.9
    sim_check "-i 0 in ping-only mode" "$want_no_probes_ping" -d -i 0 -o 198.19.9.9
    expect_eq "$mode: -i 0 sent no probe" "" "$(sim_probes)"
done
sim_stop

e2e_finish
