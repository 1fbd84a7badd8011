#!/usr/bin/env bash
# End-to-end: -u traces and pings through the lab's four routers, as root (raw
# sockets) and as nobody (no raw sockets: the ordinary UDP socket and its error
# queue), and a router's report about a prohibited route. Times are masked.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab

# title | expected output (expected/NAME.out) | arguments after -u. The target's
# answers left it with TTL 64 and crossed four routers.
runs="\
trace to the target by name|trace-named|$LAB_TARGET_NAME
trace to the target by address|trace-named|-w 1000 $LAB_TARGET_ADDR
ping the target|ping-named|-o -w 1000 $LAB_TARGET_NAME"
for who in root nobody; do
    e2e_check_rows "$who" "$runs" e2e_as "$who" "$TARNHOP" -u
done

# r4 answers a source's unreachable routes with a burst of about five, then one a
# second: four answers in all here. Hop 4 answers with ICMP destination unreachable
# (administratively prohibited), status 11000 + 3.
title="prohibited route reported by hop 4"
e2e_check_rows root "$title|prohibited-3|-d -w 1000 $LAB_PROHIBIT_ADDR" lab_exec "$TARNHOP" -u
e2e_check_rows nobody "$title|prohibited|-d -w 1000 -i 1 $LAB_PROHIBIT_ADDR" \
    lab_exec_nobody "$TARNHOP" -u

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
exactly got_first mask_times <"$first"
exactly got_second mask_times <"$second"
expect_out "nobody, two runs at once: the first" trace-numeric "$got_first"
expect_out "nobody, two runs at once: the second" trace-to-hop3 "$got_second"
expect_status "nobody, two runs at once: statuses" 0 "$((first_status + second_status))"

# Another program holds port 60001 without sharing it: an unprivileged run cannot
# have its socket, so every probe is unanswered at once (no 3-second waits); a run
# with raw sockets does not need the port.
lab_bg client perl -MSocket -e 'socket(S, PF_INET, SOCK_DGRAM, 0) or die;
    bind(S, sockaddr_in(60001, INADDR_ANY)) or die "bind: $!"; $| = 1; print "held\n"; sleep 60' \
    >"$LAB_DIR/holder.out" 2>&1
holder=$LAB_BG_PID
lab_await "$holder" grep -q held "$LAB_DIR/holder.out"
started=$(date +%s%N)
e2e_check_rows "nobody, port 60001 held elsewhere" \
    "unanswered|port-held|-d -t 1 -i 2 -w 3000 $LAB_TARGET_ADDR" lab_exec_nobody "$TARNHOP" -u
took_ms=$((($(date +%s%N) - started) / 1000000))
expect_within "nobody, port 60001 held elsewhere: no waiting (${took_ms} ms)" 0 2999 "$took_ms"
e2e_check_rows "root, port 60001 held elsewhere" \
    "answered|hop1-twice|-d -t 1 -i 2 -w 3000 $LAB_TARGET_ADDR" lab_exec "$TARNHOP" -u
expect_eq "the other program had the port" "held" "$(cat "$LAB_DIR/holder.out")"
lab_bg_stop "$holder"

e2e_finish
