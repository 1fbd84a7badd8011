#!/usr/bin/env bash
# End-to-end: ICMP that does not answer a -u probe changes nothing. While the runs
# below go on, r2 sends echo requests to the client, the client pings r3 (echo
# replies from a host that is not the target) and the system's traceroute traces
# the target from the client with UDP probes of its own (time-exceeded and
# port-unreachable reports about someone else's datagrams, to the same ports).
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab

# Count, on r1, the noise that reached the client: echo requests and replies, and
# time-exceeded reports quoting a source port other than 60001.
lab_capture_start icmp and dst host "$LAB_CLIENT_ADDR" and \
    '(icmp[0] = 8 or icmp[0] = 0 or (icmp[0] = 11 and icmp[28:2] != 60001))' ||
    e2e_fail "capture did not start"

# The system traceroute's sockets take ephemeral ports; keep them off port 60001,
# which an unprivileged run binds.
lab_exec sysctl -q -w net.ipv4.ip_local_port_range="32768 59999"

lab_bg r2 ping -q -i 0.002 -s 40 "$LAB_CLIENT_ADDR" >/dev/null 2>&1
pinger=$LAB_BG_PID
lab_bg client ping -q -i 0.002 "$LAB_HOP3" >/dev/null 2>&1
pinged=$LAB_BG_PID
lab_bg client bash -c 'while :; do traceroute -n -q 10 -N 1 -w 1 "$1"; done' tracer \
    "$LAB_TARGET_ADDR" >/dev/null 2>&1
tracer=$LAB_BG_PID
sleep 0.5

# title | expected output (expected/NAME.out) | arguments after -u. The trace into r4's
# blackhole and the ping of it wait their whole time at the silent hops while the
# noise arrives.
runs="\
trace during noise|trace-named|$LAB_TARGET_NAME
trace into silence during noise|blackhole-5|-d -t 5 -i 1 -w 300 $LAB_BLACKHOLE_ADDR
ping of a silent address during noise|ping-silent|-o -d -w 400 $LAB_BLACKHOLE_ADDR"
for who in root nobody; do
    e2e_check_rows "$who" "$runs" e2e_as "$who" "$TARNHOP" -u
done

lab_bg_stop "$pinger" "$pinged" "$tracer"
lab_capture_stop

# The noise really was there while the runs went on.
count() { lab_capture_text "$@" | grep -c '^[0-9]'; }
requests=$(count 'icmp[0] = 8')
replies=$(count 'icmp[0] = 0')
foreign=$(count 'icmp[0] = 11')
((requests > 500 && replies > 500 && foreign > 20))
expect_true "noise reached the client ($requests requests, $replies replies, $foreign reports)" $? \
    "too little: more than 500 echo requests and replies and 20 foreign reports were due"

e2e_finish
