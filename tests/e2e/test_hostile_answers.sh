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

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab sim

wait_ms=300
gap_ms=10

# The first part's cases are data: tests/sim/cases/hostile_answers (with -w 300 -n 10).
sent_kinds=("noise icmp 11/0 about a stranger's probe" "noise icmp 3/3 about a stranger's probe"
    "noise icmp 11/0" "noise icmp 3/3" "late icmp 11/0" "late icmp 3/1" "noise echo-request")

# The flood's scenario: tests/sim/cases/hostile_answers/flood.sim (with -w 300 -n 10).
flood_scenario=$(<"$SIM_CASES/hostile_answers/flood.sim")

# The display with every time cell and every star cell as "C ", and every ping line as
# "R": an answer lost in the flood reads like one received, a wrong one does not.
cells() {
    sed -E -e 's/(Nms    | \*     )/C /g' -e 's/^(Reply from .*|Request timed out\.)$/R/'
}

# check_flood WHAT: output and status of the run just made (out, st) against
# tests/sim/cases/hostile_answers/flood-WHAT.out, where every time reads "N"
# (mask_times_into); answers lost in the flood (the star cells and timeouts where answers
# were due) are noted.
check_flood() {
    local lost
    mask_times_into out "$out"
    expect_eq "$mode: $1 in a flood: output" "$(cells <"$SIM_CASES/hostile_answers/flood-$1.out")" \
        "$(cells <<<"$out")"
    lost=$(printf '%s\n' "$out" | grep -v '^ 2 ' | grep -o -E '( \*     |Request timed out\.)' | grep -c .)
    ((lost == 0)) || printf '    (%s: %d answers of the %s were lost in the flood)\n' "$mode" "$lost" "$1"
    expect_status "$mode: $1 in a flood: status" 0 "$st"
}

for mode in $(sim_modes); do
    sim_mode "$mode"
    if sim_case hostile_answers/trace; then
        sim_sent_kinds "${sent_kinds[@]}"
        expect_match "$mode: answers from the broadcast address were sent" "$(sim_sent)" \
            'from=198\.19\.255\.255 .*: icmp 11/0$'
        # Each waited the whole -w, the gap (-n) and a little more at the most.
        sim_check_waits "$mode" 4 3 "$wait_ms" "$gap_ms" 150 "$wait_ms"
        sim_case hostile_answers/ping
    fi

    # ---- The flood -----------------------------------------------------------------------
    sim_begin "$flood_scenario" || continue
    e2e_flood 20
    before=$(e2e_icmp_in)
    started=$(date +%s%N)
    sim_run out err st -d -w "$wait_ms" -n "$gap_ms" 198.19.9.9
    took_ms=$((($(date +%s%N) - started) / 1000000))
    received=$(($(e2e_icmp_in) - before))
    check_flood trace
    expect_eq "$mode: trace in a flood: nothing on stderr" "" "$err"
    # From 0 ms on: under a flood the simulator may read a probe late, and the run's own
    # length shows the waits instead.
    sim_check_waits "$mode, flood" 2 3 "$wait_ms" "$gap_ms" 150 0
    # Seven probes answered at once, three waiting 300 ms, a gap of 10 ms after each.
    expect_within "$mode: the trace in a flood took $took_ms ms" \
        $((3 * wait_ms)) $((3 * wait_ms + 9 * gap_ms + 699)) "$took_ms"
    expect_within "$mode: $received ICMP messages reached the client during the trace" \
        10001 1000000000 "$received"

    if sim_begin "$flood_scenario"; then
        sim_run out err st -d -w "$wait_ms" -o 198.19.9.9
        check_flood ping
    fi
    lab_bg_stop "$flood_pid"
done
sim_stop

e2e_finish
