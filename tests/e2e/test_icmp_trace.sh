#!/usr/bin/env bash
# End-to-end: ICMP echo traces and pings through the lab's four routers, as root with
# ping sockets closed (the raw ICMP socket) and as nobody with them open (the ICMP
# datagram socket); router reports for unreachable, prohibited and unknown routes,
# the silence of a blackhole route; nobody without ping sockets cannot start.
# Times are masked.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
e2e_lab

three="Nms    Nms    Nms    "
one="Nms    "

trace_without_names() {
    printf '\nTracing route to %s with TTL of 32:\n\n' "$LAB_TARGET_ADDR"
    lab_route_lines "$three" numeric
    printf '\nTraceroute complete.\n'
}

# The target's answers leave it with TTL 64 and cross four routers.
# ping_target [BANNER]: by name unless told otherwise.
ping_target() {
    printf '\nPinging %s with data size of 32:\n\n' "${1:-$LAB_TARGET_NAME [$LAB_TARGET_ADDR]}"
    printf 'Reply from %s: bytes=32 time=Nms TTL=60\n' "$LAB_TARGET_ADDR" "$LAB_TARGET_ADDR" \
        "$LAB_TARGET_ADDR"
    printf '\nPinging complete.\n'
}

ping_silent() {
    printf '\nPinging %s with data size of 32:\n\n' "$LAB_BLACKHOLE_ADDR"
    printf 'Request timed out.\n%.0s' 1 2 3
}

# reported ADDR named|numeric TEXT: one probe per hop; r4 answers for ADDR with TEXT.
reported() {
    printf '\nTracing route to %s with TTL of 32:\n\n' "$1"
    lab_route_lines "$one" "$2" | head -n 4
    printf '\n%s reports: %s\n' "$LAB_HOP4" "$3"
}

# r4 stays silent for the blackhole address, also for probes that expire there.
blackholed() {
    printf '\nTracing route to %s with TTL of 6:\n\n' "$LAB_BLACKHOLE_ADDR"
    lab_route_lines "$one" numeric | head -n 3
    printf ' %d   *     Request timed out.\n' 4 5 6
}

# check_run NAME EXPECTED STATUS RUNNER ARGS...: exact masked output, status, no stderr.
check_run() {
    e2e_check_run mask_times "$@"
}

exactly want_trace lab_trace_text
exactly want_trace_d trace_without_names
exactly want_ping ping_target
exactly want_ping_d ping_target "$LAB_TARGET_ADDR"
exactly want_silent ping_silent
exactly want_unreachable reported "$LAB_UNREACH_ADDR" named "Destination host unreachable."
exactly want_prohibited reported "$LAB_PROHIBIT_ADDR" numeric "Destination host unreachable."
exactly want_nonet reported "$LAB_NONET_ADDR" numeric "Destination network unreachable."
exactly want_blackhole blackholed

# Raw path: root, with ping sockets closed (as lab_up leaves them).
expect_eq "ping sockets closed for the root runs" "1	0" \
    "$(lab_exec sysctl -n net.ipv4.ping_group_range)"
# Paths: "root" (raw ICMP socket) and "nobody" (ICMP datagram socket).
for who in root nobody; do
    runner=lab_exec
    if [ "$who" = nobody ]; then
        runner=lab_exec_nobody
        lab_ping_sockets open
    fi
    check_run "$who: trace to the target by name" "$want_trace" 0 \
        "$runner" "$program" -n 0 "$LAB_TARGET_NAME"
    check_run "$who: trace to the target with -d" "$want_trace_d" 0 \
        "$runner" "$program" -d -n 0 "$LAB_TARGET_ADDR"
    check_run "$who: ping the target" "$want_ping" 0 \
        "$runner" "$program" -o -n 0 "$LAB_TARGET_NAME"
    check_run "$who: ping a silent address" "$want_silent" 0 \
        "$runner" "$program" -o -d -w 200 -n 0 "$LAB_BLACKHOLE_ADDR"
    check_run "$who: blackhole route: stars up to -t" "$want_blackhole" 0 \
        "$runner" "$program" -d -i 1 -w 200 -n 0 -t 6 "$LAB_BLACKHOLE_ADDR"
    # r4 answers unreachable routes with a burst of five per source, then one a
    # second: three here for each path, with a pause before the sixth.
    check_run "$who: unreachable route reported by hop 4" "$want_unreachable" 0 \
        "$runner" "$program" -i 1 -n 0 "$LAB_UNREACH_ADDR"
    check_run "$who: prohibited route reported by hop 4" "$want_prohibited" 0 \
        "$runner" "$program" -d -i 1 -n 0 "$LAB_PROHIBIT_ADDR"
    [ "$who" = nobody ] && sleep 1.2
    check_run "$who: no route at hop 4" "$want_nonet" 0 \
        "$runner" "$program" -d -i 1 -n 0 "$LAB_NONET_ADDR"
done

# The raw socket sees every process's ICMP traffic. Other pings, restarted every 20
# requests so that their sequence numbers run through ours again and again: some to
# the target, some to the blackhole address expiring at r2 (whose reports quote a
# request to our destination with our sequence number, but not our identifier). None
# of it may be taken for an answer.
lab_ping_sockets closed
noise() {
    lab_bg client sh -c 'while :; do ping -q -n -c 20 -i 0.002 "$@" >/dev/null 2>&1; done' \
        sh "$@"
}
noise "$LAB_TARGET_ADDR"
noise_replies=$LAB_BG_PID
noise -t 2 "$LAB_BLACKHOLE_ADDR"
noise_expiring=$LAB_BG_PID
sleep 0.1
for round in 1 2; do
    check_run "root among other pings ($round): trace with -d" "$want_trace_d" 0 \
        lab_exec "$program" -d -n 0 "$LAB_TARGET_ADDR"
    check_run "root among other pings ($round): ping the target" "$want_ping_d" 0 \
        lab_exec "$program" -d -o -n 0 "$LAB_TARGET_ADDR"
    check_run "root among other pings ($round): blackhole route" "$want_blackhole" 0 \
        lab_exec "$program" -d -i 1 -w 200 -n 0 -t 6 "$LAB_BLACKHOLE_ADDR"
done
lab_bg_stop "$noise_replies"
lab_bg_stop "$noise_expiring"

# nobody without ping sockets has neither socket: the service cannot start.
exactly want_refused printf '\nTracing route to %s with TTL of 32:\n\nIcmpCreateFile() failed, err: (13) Permission denied\n' "$LAB_TARGET_ADDR"
check_run "nobody without ping sockets: refused" "$want_refused" 1 \
    lab_exec_nobody "$program" -d "$LAB_TARGET_ADDR"

e2e_finish
