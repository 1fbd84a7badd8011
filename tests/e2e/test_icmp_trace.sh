#!/usr/bin/env bash
# End-to-end: ICMP echo traces and pings through the lab's four routers, as root with
# ping sockets closed (the raw ICMP socket) and as nobody with them open (the ICMP
# datagram socket); router reports for unreachable, prohibited and unknown routes,
# the silence of a blackhole route; nobody without ping sockets cannot start.
# Times are masked.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab

# The runs of each path: title | expected output (expected/NAME.out) | arguments.
# The target's answers leave it with TTL 64 and cross four routers (TTL=60); r4 stays
# silent for the blackhole address, also for probes that expire there.
runs="\
trace to the target by name|trace-named|-n 0 $LAB_TARGET_NAME
trace to the target with -d|trace-numeric|-d -n 0 $LAB_TARGET_ADDR
ping the target|ping-named|-o -n 0 $LAB_TARGET_NAME
ping a silent address|ping-silent|-o -d -w 200 -n 0 $LAB_BLACKHOLE_ADDR
blackhole route: stars up to -t|blackhole|-d -i 1 -w 200 -n 0 -t 6 $LAB_BLACKHOLE_ADDR
unreachable route reported by hop 4|unreachable|-i 1 -n 0 $LAB_UNREACH_ADDR
prohibited route reported by hop 4|prohibited|-d -i 1 -n 0 $LAB_PROHIBIT_ADDR"
no_route="no route at hop 4|no-route|-d -i 1 -n 0 $LAB_NONET_ADDR"

# Raw path: root, with ping sockets closed (as lab_up leaves them).
expect_eq "ping sockets closed for the root runs" "1	0" \
    "$(lab_exec sysctl -n net.ipv4.ping_group_range)"
# Paths: "root" (raw ICMP socket) and "nobody" (ICMP datagram socket).
for who in root nobody; do
    [ "$who" = root ] || lab_ping_sockets open
    e2e_check_rows "$who" "$runs" e2e_as "$who" "$program"
    # r4 answers unreachable routes with a burst of five per source, then one a
    # second: three here for each path, with a pause before the sixth.
    [ "$who" = root ] || sleep 1.2
    e2e_check_rows "$who" "$no_route" e2e_as "$who" "$program"
done

# The raw socket sees every process's ICMP traffic. Other pings, restarted every 20
# requests so that their sequence numbers run through ours again and again: some to
# the target, some to the blackhole address expiring at r2 (whose reports quote a
# request to our destination with our sequence number, but not our identifier). None
# of it may be taken for an answer.
lab_ping_sockets closed
noise=()
for pinged in "$LAB_TARGET_ADDR" "-t 2 $LAB_BLACKHOLE_ADDR"; do
    # shellcheck disable=SC2086 # the ping's arguments are split on purpose
    lab_bg client sh -c 'while :; do ping -q -n -c 20 -i 0.002 "$@" >/dev/null 2>&1; done' sh $pinged
    noise+=("$LAB_BG_PID")
done
sleep 0.1
noisy_runs="\
trace with -d|trace-numeric|-d -n 0 $LAB_TARGET_ADDR
ping the target|ping-numeric|-d -o -n 0 $LAB_TARGET_ADDR
blackhole route|blackhole|-d -i 1 -w 200 -n 0 -t 6 $LAB_BLACKHOLE_ADDR"
for round in 1 2; do
    e2e_check_rows "root among other pings ($round)" "$noisy_runs" lab_exec "$program"
done
lab_bg_stop "${noise[@]}"

# nobody without ping sockets has neither socket: the service cannot start.
e2e_expected want_refused icmp-refused
e2e_check_run mask_times "nobody without ping sockets: refused" "$want_refused" 1 \
    lab_exec_nobody "$program" -d "$LAB_TARGET_ADDR"

e2e_finish
