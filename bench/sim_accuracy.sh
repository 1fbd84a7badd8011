#!/usr/bin/env bash
# How exactly tarnhop reports round-trip times: in the network lab, the simulated
# network answers every probe after a chosen delay (0, 1, 5, 20, 50, 100 and 300 ms by
# default), tarnhop pings each delay's target in ping-only mode, and the table shows the
# distribution of reported minus chosen milliseconds per probe kind and socket (goal: 0
# or 1, median 0, never below 0), and how late the simulator itself sent its answers.
# A measurement, not a test: it never fails on its figures. Needs root.
#
#   bench/sim_accuracy.sh [--probes N] [--delays "0 5 50"] [--modes "icmp-raw udp-raw"]
#                         [--realtime]
#
# --probes     probes per delay and mode (default 100)
# --modes      icmp-raw (root, raw socket), icmp-dgram (nobody, ICMP datagram socket),
#              udp-raw (root, -u), udp-dgram (nobody, -u); default all four
# --realtime   run tarnhop at real-time priority, as the end-to-end tests do, to see the
#              figures without the machine's other work
# BUILD_DIR    the build to measure (default build/release, built when missing)
set -u
cd "$(dirname "$0")/.."

probes=100
delays="0 1 5 20 50 100 300"
modes="icmp-raw icmp-dgram udp-raw udp-dgram"
realtime=0
while (($# > 0)); do
    case $1 in
    --probes) probes=$2; shift 2 ;;
    --delays) delays=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --realtime) realtime=1; shift ;;
    *)
        sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 2
        ;;
    esac
done

BUILD_DIR=${BUILD_DIR:-build/release}
if [ ! -x "$BUILD_DIR/tarnhop" ] || [ ! -x "$BUILD_DIR/tests/tools/netsim/netsim" ]; then
    cmake --preset release >/dev/null &&
        cmake --build --preset release -j "$(nproc)" --target tarnhop netsim >/dev/null || exit 1
fi
TARNHOP=$(realpath "$BUILD_DIR/tarnhop")
TARNHOP_BUILD_DIR=$(realpath "$BUILD_DIR")
export TARNHOP TARNHOP_BUILD_DIR

source tests/lab/lab.sh
source tests/lab/sim.sh
lab_up

work=$(mktemp -d /tmp/tarnhop-accuracy.XXXXXX)
trap 'sim_cleanup; rm -rf "$work"; lab_down' EXIT

# One target per delay: 198.19.9.1 answers after the first delay, and so on.
scenario=$work/accuracy.sim
k=0
for delay in $delays; do
    k=$((k + 1))
    echo "target 198.19.9.$k delay $delay" >>"$scenario"
done

# The figures of one mode: "delay reported-minus-chosen" per answered probe, and the
# count of unanswered probes per delay.
measure_mode() {
    local mode=$1 k=0 delay out
    sim_mode "$mode" || return 1
    sim_start "$LAB_CLIENT" "$scenario" || return 1
    for delay in $delays; do
        k=$((k + 1))
        ((realtime)) && chrt -f -p 10 "$BASHPID" >/dev/null 2>&1
        out=$("$SIM_RUNNER" "$TARNHOP" "${SIM_KIND[@]}" -d -o -n 0 -i "$probes" \
            -w $((delay + 1000)) "198.19.9.$k")
        ((realtime)) && chrt -o -p 0 "$BASHPID" >/dev/null 2>&1
        printf '%s\n' "$out" | sed -n 's/^Reply from .* time=\([0-9]*\)ms .*/\1/p' |
            awk -v d="$delay" '{ print d, $1 - d }' >>"$work/$mode.diffs"
        printf '%s %s\n' "$delay" "$(printf '%s\n' "$out" | grep -c '^Request timed out')" \
            >>"$work/$mode.lost"
    done
    sim_sent | sed 's/.*late_us=\([0-9]*\).*/\1/' >"$work/$mode.late"
    sim_stop
}

# Table rows from "delay diff" lines: counts per difference class, median and extremes.
summarise() {
    local label=$1 lost=$2
    sort -n -k2 | awk -v label="$label" -v lost="$lost" '
        { diff[NR] = $2; n++
          if ($2 < 0) below++; else if ($2 == 0) zero++; else if ($2 == 1) one++
          else if ($2 < 5) few++; else many++ }
        END {
            if (n == 0) { printf "%-22s %6d %6s\n", label, 0, "-"; exit }
            printf "%-22s %6d %6d %6d %6d %6d %6d %6d %7d %5d %5d\n", label, n, lost + 0,
                below + 0, zero + 0, one + 0, few + 0, many + 0, diff[int((n + 1) / 2)],
                diff[1], diff[n]
        }'
}

printf 'tarnhop %s, %s probes per delay, load average %s, tarnhop %s\n\n' "$TARNHOP" "$probes" \
    "$(cut -d' ' -f1-3 /proc/loadavg)" "$( ((realtime)) && echo 'real-time' || echo 'normal priority')"
printf '%-22s %6s %6s %6s %6s %6s %6s %6s %7s %5s %5s\n' "mode / chosen delay" answers lost \
    "<0" "0" "+1" "+2..4" "+5.." median min max
for mode in $modes; do
    if ! measure_mode "$mode"; then
        printf '%-22s could not be measured\n' "$mode"
        continue
    fi
    for delay in $delays; do
        lost=$(awk -v d="$delay" '$1 == d { print $2 }' "$work/$mode.lost")
        awk -v d="$delay" '$1 == d' "$work/$mode.diffs" | summarise "$mode ${delay} ms" "$lost"
    done
    summarise "$mode all" "$(awk '{ s += $2 } END { print s + 0 }' "$work/$mode.lost")" \
        <"$work/$mode.diffs"
    sort -n "$work/$mode.late" | awk -v mode="$mode" '
        { v[NR] = $1 }
        END {
            if (NR == 0) exit
            p = int(NR * 0.99 + 0.5)
            if (p < 1) p = 1
            printf "%-22s simulator late by (us): median %d, 99th percentile %d, max %d\n\n",
                mode, v[int((NR + 1) / 2)], v[p], v[NR]
        }'
done
cat "$work"/*.diffs 2>/dev/null | summarise "every mode and delay" \
    "$(cat "$work"/*.lost 2>/dev/null | awk '{ s += $2 } END { print s + 0 }')"
