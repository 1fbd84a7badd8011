#!/usr/bin/env bash
# End-to-end, simulated network and the lab: hostile answers, in all four modes (ICMP
# through a raw socket and through a ping socket, UDP through raw sockets and through an
# ordinary socket's error queue).
# 1. Answers whose IP header carries options (IHL 6 to 15), a router's report with the
#    shortest quote that still shows the probe (its IP header and 8 bytes), and a router
#    that answers from the subnet's broadcast address 198.19.255.255 are read as the
#    answers they are. Around every probe, and all through the wait of a silent hop,
#    come reports that are no answer: quotes cut inside the quoted header or right after
#    it, reports about a stranger's probe like ours (another ICMP identifier, another UDP
#    source port; from a router, and as port unreachable from the target itself), with
#    IP options too, late answers and echo requests from 198.19.255.255, reports from
#    255.255.255.255. The display is exactly that of a quiet network, and each
#    unanswered probe waits -w, not longer.
# 2. A flood: ping -f from the client to the lab's target (tens of thousands of echo
#    replies a second, all of them unrelated ICMP for tarnhop's raw sockets) while a trace
#    and a ping run through the simulator, whose silent hop is showered with reports
#    about strangers' probes. The hop lines are those of a quiet network (an answer that
#    the flood pushed out of a full socket buffer may show as a star: lost, never
#    misread), no probe waits longer than -w, and the runs end in the time their probes
#    take.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab sim

wait_ms=300
gap_ms=10

# Noise for the silent hop (TTL 4), every 20 ms of its 300 ms wait.
silent_noise=""
for ((after = 5; after < wait_ms; after += 20)); do
    silent_noise+="inject ttl 4 stranger after $after"$'\n'
    silent_noise+="inject ttl 4 stranger port-unreachable from 198.19.9.9 after $((after + 3)) options 16"$'\n'
    silent_noise+="inject ttl 4 earlier time-exceeded from 198.19.255.255 after $((after + 6))"$'\n'
    silent_noise+="inject ttl 4 time-exceeded quote 23 from 198.19.4.4 after $((after + 9))"$'\n'
done

sim_text scenario <<EOF
target 198.19.9.9 at 5 delay 5 options 40
hop 1 198.19.1.1 delay 5 options 4
hop 2 198.19.2.1 delay 5 quote 28 options 8
hop 3 198.19.255.255 delay 5 options 12
hop 4 silent
inject every stranger after 1
inject every stranger port-unreachable from 198.19.9.9 after 1 options 20
inject every time-exceeded quote 20 from 198.19.3.3 after 2
inject every port-unreachable quote 23 from 198.19.9.9 after 2
inject every earlier time-exceeded from 198.19.255.255 after 2
inject every stranger from 198.19.255.255 after 3
inject every echo-request from 198.19.255.255 after 3
inject every earlier host-unreachable from 255.255.255.255 after 3
inject every stranger from 255.255.255.255 after 4
$silent_noise
EOF

sim_text want_trace <<'EOF'

Tracing route to 198.19.9.9 with TTL of 32:

 1  5ms    5ms    5ms    198.19.1.1
 2  5ms    5ms    5ms    198.19.2.1
 3  5ms    5ms    5ms    198.19.255.255
 4   *      *      *     Request timed out.
 5  5ms    5ms    5ms    198.19.9.9

Traceroute complete.
EOF

sim_text want_ping <<'EOF'

Pinging 198.19.9.9 with data size of 32:

Reply from 198.19.9.9: bytes=32 time=5ms TTL=60
Reply from 198.19.9.9: bytes=32 time=5ms TTL=60
Reply from 198.19.9.9: bytes=32 time=5ms TTL=60

Pinging complete.
EOF

# Milliseconds from each probe with TTL T to the probe after it, as the simulator saw
# them arrive: the wait (-w) plus the gap (-n) plus a little.
silent_intervals() {
    sim_probe_fields t ttl | awk -v ttl="$1" '
        previous_ttl == ttl { printf "%d\n", $1 - previous_t }
        { previous_t = $1; previous_ttl = $2 }'
}

# check_waits TITLE TTL COUNT SLACK LOWER: each interval lies between LOWER (a probe
# that waited the whole -w; 0 under a flood, where the simulator may read a probe late
# and the run's own length shows the waits instead) and -w, the gap and SLACK.
check_waits() {
    local title=$1 ttl=$2 count=$3 slack=$4 lower=$5 intervals interval
    intervals=$(silent_intervals "$ttl")
    expect_eq "$title: $count probes waited at the silent hop" "$count" \
        "$(printf '%s\n' "$intervals" | grep -c .)"
    while read -r interval; do
        [ -n "$interval" ] || continue
        if ((interval >= lower && interval <= wait_ms + gap_ms + slack)); then
            e2e_pass "$title: an unanswered probe waited ${interval} ms with -w $wait_ms -n $gap_ms"
        else
            e2e_fail "$title: an unanswered probe waited ${interval} ms with -w $wait_ms -n $gap_ms"
        fi
    done <<<"$intervals"
}

sent_kinds=("noise icmp 11/0 about a stranger's probe" "noise icmp 3/3 about a stranger's probe"
    "noise icmp 11/0" "noise icmp 3/3" "late icmp 11/0" "late icmp 3/1" "noise echo-request")

for mode in $(sim_modes); do
    sim_mode "$mode"
    if ! sim_start "$LAB_CLIENT" - <<<"$scenario"; then
        e2e_fail "$mode: simulator start"
        continue
    fi
    sim_check "trace through hostile answers" "$want_trace" -d -w "$wait_ms" -n "$gap_ms" 198.19.9.9
    sent=$(sim_sent)
    for kind in "${sent_kinds[@]}"; do
        expect_contains "$mode: the simulator sent: $kind" "$sent" ": $kind"
    done
    expect_match "$mode: answers from the broadcast address were sent" "$sent" \
        'from=198\.19\.255\.255 .*: icmp 11/0$'
    check_waits "$mode" 4 3 150 "$wait_ms"

    sim_start "$LAB_CLIENT" - <<<"$scenario"
    sim_check "ping through hostile answers" "$want_ping" -d -w "$wait_ms" -o 198.19.9.9
done

# ---- The flood ---------------------------------------------------------------------------
flood_noise=""
for ((after = 0; after < wait_ms; after += 3)); do
    flood_noise+="inject ttl 2 stranger after $after"$'\n'
    flood_noise+="inject ttl 2 stranger port-unreachable from 198.19.9.9 after $((after + 1))"$'\n'
done
sim_text flood_scenario <<EOF
target 198.19.9.9 at 3 delay 5
hop 1 198.19.1.1 delay 5
hop 2 silent
$flood_noise
EOF

sim_text want_flood_trace <<'EOF'

Tracing route to 198.19.9.9 with TTL of 32:

 1  Nms    Nms    Nms    198.19.1.1
 2   *      *      *     Request timed out.
 3  Nms    Nms    Nms    198.19.9.9

Traceroute complete.
EOF

sim_text want_flood_ping <<'EOF'

Pinging 198.19.9.9 with data size of 32:

Reply from 198.19.9.9: bytes=32 time=Nms TTL=62
Reply from 198.19.9.9: bytes=32 time=Nms TTL=62
Reply from 198.19.9.9: bytes=32 time=Nms TTL=62

Pinging complete.
EOF

# The display with every time cell and every star cell as "C ", and every ping line as
# "R": an answer lost in the flood reads like one received, a wrong one does not.
cells() {
    sed -E -e 's/(Nms    | \*     )/C /g' -e 's/^(Reply from .*|Request timed out\.)$/R/'
}

# How many star cells and timeouts the flood caused where answers were due.
lost_in() {
    printf '%s\n' "$1" | grep -v '^ 2 ' | grep -o -E '( \*     |Request timed out\.)' | grep -c .
}

icmp_in() {
    lab_exec awk '$1 == "Icmp:" && $2 ~ /^[0-9]+$/ { print $2 }' /proc/net/snmp
}

for mode in $(sim_modes); do
    sim_mode "$mode"
    if ! sim_start "$LAB_CLIENT" - <<<"$flood_scenario"; then
        e2e_fail "$mode: simulator start (flood)"
        continue
    fi
    lab_bg client ping -f -q -w 20 "$LAB_TARGET_ADDR" >/dev/null 2>&1
    flood_pid=$LAB_BG_PID
    sleep 0.2
    before=$(icmp_in)
    started=$(date +%s%N)
    sim_run out err st -d -w "$wait_ms" -n "$gap_ms" 198.19.9.9
    took_ms=$((($(date +%s%N) - started) / 1000000))
    received=$(($(icmp_in) - before))
    mask_times_into out "$out"
    expect_eq "$mode: trace in a flood: output" "$(cells <<<"$want_flood_trace")" "$(cells <<<"$out")"
    lost=$(lost_in "$out")
    ((lost == 0)) || printf '    (%s: %d answers of the trace were lost in the flood)\n' "$mode" "$lost"
    expect_status "$mode: trace in a flood: status" 0 "$st"
    expect_eq "$mode: trace in a flood: nothing on stderr" "" "$err"
    check_waits "$mode, flood" 2 3 150 0
    # Seven probes answered at once, three waiting 300 ms, a gap of 10 ms after each.
    if ((took_ms >= 3 * wait_ms && took_ms < 3 * wait_ms + 9 * gap_ms + 700)); then
        e2e_pass "$mode: the trace in a flood took $took_ms ms"
    else
        e2e_fail "$mode: the trace in a flood took $took_ms ms"
    fi
    if ((received > 10000)); then
        e2e_pass "$mode: $received ICMP messages reached the client during the trace"
    else
        e2e_fail "$mode: only $received ICMP messages reached the client during the trace"
    fi

    sim_start "$LAB_CLIENT" - <<<"$flood_scenario"
    sim_run out err st -d -w "$wait_ms" -o 198.19.9.9
    mask_times_into out "$out"
    expect_eq "$mode: ping in a flood: output" "$(cells <<<"$want_flood_ping")" "$(cells <<<"$out")"
    lost=$(lost_in "$out")
    ((lost == 0)) || printf '    (%s: %d answers of the ping were lost in the flood)\n' "$mode" "$lost"
    expect_status "$mode: ping in a flood: status" 0 "$st"
    lab_bg_stop "$flood_pid"
done
sim_stop

e2e_finish
