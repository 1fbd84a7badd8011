#!/usr/bin/env bash
# How exactly tarnhop reports round-trip times: in the network lab, the simulated
# network answers every probe after a chosen delay (0, 1, 5, 20, 50, 100 and 300 ms by
# default), tarnhop pings each delay's target in ping-only mode, and the table shows the
# distribution of reported minus real milliseconds per probe kind and socket (goal: 0
# or 1, median 0, never below 0). The real delay is the chosen one plus however late
# the simulator itself sent the answer, cut to whole milliseconds; column "slow" counts
# the answers that the simulator sent a millisecond or more late.
# The Linux ping, run in the lab the same way (one probe at a time, its times cut to
# whole milliseconds), is the peer: row "ping". With --load the figures of an idle
# machine and of one with N busy loops stand side by side.
# A measurement, not a test: it never fails on its figures. Needs root.
#
#   bench/sim_accuracy.sh [--probes N] [--delays "0 5 50"] [--modes "icmp-raw ping"]
#                         [--load N] [--realtime]
#
# --probes     probes per delay and mode (default 100)
# --modes      icmp-raw (root, raw socket), icmp-dgram (nobody, ICMP datagram socket),
#              udp-raw (root, -u), udp-dgram (nobody, -u), ping (the Linux ping, root);
#              default all five
# --load N     measure each mode twice: on the machine as it is, then with N busy loops
#              at normal priority running beside it
# --realtime   run tarnhop at real-time priority, to see the figures without the
#              machine's other work
# BUILD_DIR    the build to measure (default build/release, built when missing)
set -u
cd "$(dirname "$0")/.."

probes=100
delays="0 1 5 20 50 100 300"
modes="icmp-raw icmp-dgram udp-raw udp-dgram ping"
realtime=0
load=0
while (($# > 0)); do
    case $1 in
    --probes) probes=$2; shift 2 ;;
    --delays) delays=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --load) load=$2; shift 2 ;;
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
loops=()
stop_load() {
    local pid
    for pid in "${loops[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    loops=()
}
start_load() {
    local i
    for ((i = 0; i < $1; i++)); do
        bash -c 'while :; do :; done' &
        loops+=($!)
    done
}
trap 'stop_load; sim_cleanup; rm -rf "$work"; lab_down' EXIT

# One target per delay: 198.19.9.1 answers after the first delay, and so on.
scenario=$work/accuracy.sim
k=0
for delay in $delays; do
    k=$((k + 1))
    echo "target 198.19.9.$k delay $delay" >>"$scenario"
done

# One delay's round-trip times in whole milliseconds, one a line, from tarnhop or ping.
times_of() {
    local mode=$1 delay=$2 target=$3
    if [ "$mode" = ping ]; then
        # One request at a time, as tarnhop sends them; ping's times cut to milliseconds.
        lab_exec ping -n -c "$probes" -i "$(awk -v d="$delay" 'BEGIN { printf "%.3f", (d + 2) / 1000 }')" \
            -W $((delay / 1000 + 2)) "$target" |
            sed -n 's/.* time=\([0-9]*\)[.0-9]* ms.*/\1/p'
        return
    fi
    ((realtime)) && chrt -f -p 10 "$BASHPID" >/dev/null 2>&1
    "$SIM_RUNNER" "$TARNHOP" "${SIM_KIND[@]}" -d -o -n 0 -i "$probes" -w $((delay + 1000)) \
        "$target" | sed -n 's/^Reply from .* time=\([0-9]*\)ms .*/\1/p'
    ((realtime)) && chrt -o -p 0 "$BASHPID" >/dev/null 2>&1
}

# The figures of one mode under one load: "delay reported-minus-chosen" per answered
# probe into $work/MODE.TAG.diffs, the count of unanswered probes per delay into .lost.
measure_mode() {
    local mode=$1 tag=$2 k=0 delay got before
    if [ "$mode" = ping ]; then
        sim_mode icmp-raw || return 1
    else
        sim_mode "$mode" || return 1
    fi
    sim_start "$LAB_CLIENT" "$scenario" || return 1
    for delay in $delays; do
        k=$((k + 1))
        before=$(sim_sent | wc -l)
        got=$(times_of "$mode" "$delay" "198.19.9.$k")
        sleep 0.1  # the simulator's last log lines
        # One answer per probe, in order: each time goes with the lateness of its answer.
        sim_sent | tail -n +$((before + 1)) | sed 's/.*late_us=\([0-9]*\).*/\1/' >"$work/late"
        printf '%s\n' "$got" | grep . >"$work/times"
        if [ "$(wc -l <"$work/late")" -ne "$(wc -l <"$work/times")" ]; then
            echo "$mode $delay ms: answers and probes do not pair; lateness left out" >&2
            sed 's/.*/0/' "$work/times" >"$work/late"
        fi
        paste -d' ' "$work/times" "$work/late" |
            awk -v d="$delay" '{ print d, $1 - int(d + $2 / 1000), ($2 >= 1000) }' \
                >>"$work/$mode.$tag.diffs"
        printf '%s %s\n' "$delay" "$((probes - $(printf '%s\n' "$got" | grep -c .)))" \
            >>"$work/$mode.$tag.lost"
    done
    sim_sent | sed 's/.*late_us=\([0-9]*\).*/\1/' >"$work/$mode.$tag.late"
    sim_stop
}

# One table cell from "delay diff" lines: answers, lost, counts per difference class,
# median and maximum.
summarise() {
    local lost=$1
    sort -n -k2 | awk -v lost="$lost" '
        { diff[NR] = $2; n++
          if ($2 < 0) below++; else if ($2 == 0) zero++; else if ($2 == 1) one++
          else if ($2 < 5) few++; else many++
          slow += $3 }
        END {
            if (n == 0) { printf "%5d %4d %4s %5s %4s %4s %4s %4s %4s %4s", 0, lost + 0, "-", "-", "-", "-", "-", "-", "-", "-"; exit }
            printf "%5d %4d %4d %5d %4d %4d %4d %4d %4d %4d", n, lost + 0, below + 0, zero + 0,
                one + 0, few + 0, many + 0, diff[int((n + 1) / 2)], diff[n], slow
        }'
}

# The cell of MODE under TAG for one delay ("all" for every delay).
cell() {
    local mode=$1 tag=$2 delay=$3
    [ -e "$work/$mode.$tag.diffs" ] || { printf '%-50s' "could not be measured"; return; }
    if [ "$delay" = all ]; then
        summarise "$(awk '{ s += $2 } END { print s + 0 }' "$work/$mode.$tag.lost")" \
            <"$work/$mode.$tag.diffs"
    else
        awk -v d="$delay" '$1 == d' "$work/$mode.$tag.diffs" |
            summarise "$(awk -v d="$delay" '$1 == d { print $2 }' "$work/$mode.$tag.lost")"
    fi
}

late_line() {
    sort -n "$1" | awk '
        { v[NR] = $1 }
        END {
            if (NR == 0) exit
            p = int(NR * 0.99 + 0.5)
            if (p < 1) p = 1
            printf "median %d, 99th percentile %d, max %d", v[int((NR + 1) / 2)], v[p], v[NR]
        }'
}

tags=idle
((load > 0)) && tags="idle load"
for mode in $modes; do
    for tag in $tags; do
        [ "$tag" = load ] && start_load "$load"
        measure_mode "$mode" "$tag" || rm -f "$work/$mode.$tag.diffs"
        [ "$tag" = load ] && stop_load
    done
done

head_cell='  ans lost   <0     0   +1 +2-4  +5.  med  max slow'
printf 'tarnhop %s, %s probes per delay, load average %s, tarnhop at %s\n' "$TARNHOP" "$probes" \
    "$(cut -d' ' -f1-3 /proc/loadavg)" "$( ((realtime)) && echo 'real-time' || echo 'normal priority')"
printf 'figures: reported minus real milliseconds (chosen, plus the simulator'"'"'s lateness)\n\n'
if ((load > 0)); then
    printf '%-18s %-50s | %s\n' "" "idle" "with $load busy loops"
    printf '%-18s %s | %s\n' "mode / delay" "$head_cell" "$head_cell"
else
    printf '%-18s %s\n' "mode / delay" "$head_cell"
fi
for mode in $modes; do
    for delay in $delays all; do
        label="$mode $delay"
        [ "$delay" = all ] || label="$label ms"
        printf '%-18s ' "$label"
        cell "$mode" idle "$delay"
        if ((load > 0)); then
            printf ' | '
            cell "$mode" load "$delay"
        fi
        printf '\n'
    done
    for tag in $tags; do
        [ -s "$work/$mode.$tag.late" ] &&
            printf '%-18s simulator late by (us), %s: %s\n' "$mode" "$tag" "$(late_line "$work/$mode.$tag.late")"
    done
    printf '\n'
done
