#!/usr/bin/env bash
# End-to-end: -u traces and pings through the lab's four routers, as root (raw
# sockets) and as nobody (no raw sockets: the ordinary UDP socket and its error
# queue), and a router's report about a prohibited route. Times are masked.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab

# The expected ping of the target: the target's answers left it with TTL 64 and
# crossed four routers.
ping_target() {
    printf '\nPinging %s [%s] with data size of 32:\n\n' "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR"
    printf 'Reply from %s: bytes=32 time=Nms TTL=60\n' "$LAB_TARGET_ADDR" "$LAB_TARGET_ADDR" \
        "$LAB_TARGET_ADDR"
    printf '\nPinging complete.\n'
}

# The expected trace to the prohibited address with PROBES probes per hop, without
# names: hop 4 answers with ICMP destination unreachable (administratively
# prohibited), status 11000 + 3.
trace_to_prohibited() {
    local probes=$1 cells="" k
    for ((k = 0; k < probes; k++)); do
        cells+="Nms    "
    done
    printf '\nTracing route to %s with TTL of 32:\n\n' "$LAB_PROHIBIT_ADDR"
    printf ' %d  %s%s\n' 1 "$cells" "$LAB_HOP1" 2 "$cells" "$LAB_HOP2" 3 "$cells" "$LAB_HOP3" \
        4 "$cells" "$LAB_HOP4"
    printf '\n%s reports: Destination host unreachable.\n' "$LAB_HOP4"
}

exactly want_trace lab_trace_text
exactly want_ping ping_target
for who in root nobody; do
    runner=lab_exec
    [ "$who" = nobody ] && runner=lab_exec_nobody
    expect_masked_run "$who: trace to the target by name" "$want_trace" \
        "$runner" "$TARNHOP" -u "$LAB_TARGET_NAME"
    expect_masked_run "$who: trace to the target by address" "$want_trace" \
        "$runner" "$TARNHOP" -u -w 1000 "$LAB_TARGET_ADDR"
    expect_masked_run "$who: ping the target" "$want_ping" \
        "$runner" "$TARNHOP" -u -o -w 1000 "$LAB_TARGET_NAME"
done

# r4 answers a source's unreachable routes with a burst of about five, then one a
# second: four answers in all here.
exactly want_prohibited trace_to_prohibited 3
expect_masked_run "root: prohibited route reported by hop 4" "$want_prohibited" \
    lab_exec "$TARNHOP" -u -d -w 1000 "$LAB_PROHIBIT_ADDR"
exactly want_prohibited trace_to_prohibited 1
expect_masked_run "nobody: prohibited route reported by hop 4" "$want_prohibited" \
    lab_exec_nobody "$TARNHOP" -u -d -w 1000 -i 1 "$LAB_PROHIBIT_ADDR"

# Two unprivileged runs at once share port 60001; each must get its own answers.
# The second traces to r3's address, which answers as the target at hop 3.
first=$LAB_DIR/first.out
second=$LAB_DIR/second.out
lab_exec_nobody "$TARNHOP" -u -d -n 30 -w 1000 "$LAB_TARGET_ADDR" >"$first" 2>&1 &
first_pid=$!
lab_exec_nobody "$TARNHOP" -u -d -n 30 -w 1000 "$LAB_HOP3" >"$second" 2>&1 &
second_pid=$!
wait "$first_pid"
first_status=$?
wait "$second_pid"
second_status=$?
# plain_trace ADDR HOPS: a trace with -d that ends at hop HOPS of the lab's route.
plain_trace() {
    printf '\nTracing route to %s with TTL of 32:\n\n' "$1"
    lab_route_lines "Nms    Nms    Nms    " numeric | head -n "$2"
    printf '\nTraceroute complete.\n'
}
exactly want_first plain_trace "$LAB_TARGET_ADDR" 5
exactly want_second plain_trace "$LAB_HOP3" 3
exactly got_first mask_times <"$first"
exactly got_second mask_times <"$second"
expect_eq "nobody, two runs at once: the first" "$want_first" "$got_first"
expect_eq "nobody, two runs at once: the second" "$want_second" "$got_second"
expect_status "nobody, two runs at once: statuses" 0 "$((first_status + second_status))"

# Another program holds port 60001 without sharing it: an unprivileged run cannot
# have its socket, so every probe is unanswered at once (no 3-second waits); a run
# with raw sockets does not need the port.
lab_bg client perl -MSocket -e 'socket(S, PF_INET, SOCK_DGRAM, 0) or die;
    bind(S, sockaddr_in(60001, INADDR_ANY)) or die "bind: $!"; $| = 1; print "held\n"; sleep 60' \
    >"$LAB_DIR/holder.out" 2>&1
holder=$LAB_BG_PID
for ((i = 0; i < 300; i++)); do
    grep -q held "$LAB_DIR/holder.out" && break
    sleep 0.01
done
exactly want_stars printf '\nTracing route to %s with TTL of 1:\n\n 1   *      *     %s\n' \
    "$LAB_TARGET_ADDR" "Request timed out."
started=$(date +%s%N)
expect_masked_run "nobody, port 60001 held elsewhere: unanswered" "$want_stars" \
    lab_exec_nobody "$TARNHOP" -u -d -t 1 -i 2 -w 3000 "$LAB_TARGET_ADDR"
took_ms=$((($(date +%s%N) - started) / 1000000))
if ((took_ms < 3000)); then
    e2e_pass "nobody, port 60001 held elsewhere: no waiting (${took_ms} ms)"
else
    e2e_fail "nobody, port 60001 held elsewhere: waited ${took_ms} ms"
fi
exactly want_hop printf '\nTracing route to %s with TTL of 1:\n\n 1  Nms    Nms    %s\n' \
    "$LAB_TARGET_ADDR" "$LAB_HOP1"
expect_masked_run "root, port 60001 held elsewhere: answered" "$want_hop" \
    lab_exec "$TARNHOP" -u -d -t 1 -i 2 -w 3000 "$LAB_TARGET_ADDR"
expect_eq "the other program had the port" "held" "$(cat "$LAB_DIR/holder.out")"
lab_bg_stop "$holder"

e2e_finish
