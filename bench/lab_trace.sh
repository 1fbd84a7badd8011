#!/usr/bin/env bash
# bench/lab_trace.sh [icmp|udp] [REPETITIONS]
#
# Times a whole tarnhop trace through the lab's four routers against the system's own
# tools on the same path, side by side in one run (as root, in the lab's client
# namespace), and prints the medians of wall time, CPU time (user + system) and peak
# resident memory, with tarnhop's ratio to each peer and the goals:
#   icmp (default): tarnhop -n 0      vs  traceroute -I -q 3 -N 1  and  tracepath -n
#   udp:            tarnhop -u -n 0   vs  traceroute -q 3 -N 1     and  tracepath -n
# Goals: wall at most the sequential peer's (traceroute) plus tarnhop's fixed 50 ms
# start-up wait; CPU time and peak memory below every peer's.
#
# The program measured is $TARNHOP, or build/release/tarnhop of this tree. Needs root,
# what the lab needs (iproute2, dnsmasq, tcpdump), traceroute, tracepath and g++. A
# small program built here runs each command and reads what the kernel counted for it
# through wait4(): user and system time in microseconds and the peak resident set (the
# figure GNU time's %M shows); wall time is the monotonic clock around the command.
# Rounds take the commands in turn, so a slow moment of the machine hits all of them.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mode=${1:-icmp}
repetitions=${2:-15}
program=${TARNHOP:-$here/../build/release/tarnhop}

case $mode in
icmp | udp) ;;
*)
    echo "usage: $0 [icmp|udp] [repetitions]" >&2
    exit 2
    ;;
esac
if ! [[ $repetitions =~ ^[0-9]+$ ]] || ((repetitions < 1)); then
    echo "repetitions must be a positive number" >&2
    exit 2
fi
if [ ! -x "$program" ]; then
    echo "no program at $program (build it, or set TARNHOP)" >&2
    exit 1
fi
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
for tool in g++ traceroute tracepath; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing" >&2
        exit 1
    fi
done

source "$here/../tests/lab/lab.sh"
lab_up

target=$LAB_TARGET_ADDR
# tarnhop, then the two peers, then tarnhop without name lookups (-d), shown for what
# the six reverse lookups cost (tracepath -n makes none); only the first three count
# for the goals.
if [ "$mode" = icmp ]; then
    commands=("$program -n 0 $target" "traceroute -I -q 3 -N 1 $target" "tracepath -n $target"
        "$program -d -n 0 $target")
else
    commands=("$program -u -n 0 $target" "traceroute -q 3 -N 1 $target" "tracepath -n $target"
        "$program -u -d -n 0 $target")
fi
labels=(tarnhop traceroute tracepath "tarnhop -d")
peers=(1 2)

# Runs one command with its output discarded; prints
# "WALL_US USER_US SYS_US MAXRSS_KIB STATUS".
cat >"$LAB_DIR/measure.cpp" <<'END_OF_SOURCE'
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

static long long microseconds(const timeval& t) { return t.tv_sec * 1000000LL + t.tv_usec; }

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long wall = (end.tv_sec - start.tv_sec) * 1000000LL + (end.tv_nsec - start.tv_nsec) / 1000;
    std::printf("%lld %lld %lld %ld %d\n", wall, microseconds(usage.ru_utime),
                microseconds(usage.ru_stime), usage.ru_maxrss, WEXITSTATUS(status));
    return 0;
}
END_OF_SOURCE
if ! g++ -O2 -o "$LAB_DIR/measure" "$LAB_DIR/measure.cpp"; then
    echo "cannot build the measuring program" >&2
    exit 1
fi

# Runs inside the client namespace: ROUNDS rounds of every command in turn, one line
# per command and round: "INDEX WALL_US USER_US SYS_US MAXRSS_KIB STATUS".
cat >"$LAB_DIR/rounds.sh" <<'END_OF_SCRIPT'
set -u
measure=$1
rounds=$2
shift 2
for ((round = 0; round < rounds; round++)); do
    index=0
    for command in "$@"; do
        read -r -a words <<<"$command"
        echo "$index $("$measure" "${words[@]}")"
        index=$((index + 1))
    done
done
END_OF_SCRIPT

echo "mode $mode: $repetitions rounds, target $target behind four routers, run as root"
echo "  load before: $(cut -d ' ' -f 1-3 /proc/loadavg) on $(nproc) CPUs"
for ((i = 0; i < ${#commands[@]}; i++)); do
    printf '  %-10s = %s\n' "${labels[$i]}" "${commands[$i]/$program/tarnhop}"
done

# One round first, not counted: ARP entries, DNS answers and the page cache are then
# warm for every command alike.
LAB_EXEC_TIMEOUT=120 lab_exec bash "$LAB_DIR/rounds.sh" "$LAB_DIR/measure" 1 "${commands[@]}" \
    >/dev/null
if ! LAB_EXEC_TIMEOUT=3600 lab_exec bash "$LAB_DIR/rounds.sh" "$LAB_DIR/measure" \
    "$repetitions" "${commands[@]}" >"$LAB_DIR/samples"; then
    echo "measuring failed" >&2
    exit 1
fi
if awk '$6 != 0 { bad = 1 } END { exit !bad }' "$LAB_DIR/samples"; then
    echo "warning: runs that ended with a nonzero status (INDEX WALL USER SYS RSS STATUS):" >&2
    awk '$6 != 0' "$LAB_DIR/samples" >&2
fi

echo "  load after:  $(cut -d ' ' -f 1-3 /proc/loadavg)"

# quartiles INDEX COLUMN: "P25 MEDIAN P75" of one figure of one command over the rounds
# (COLUMN: wall, cpu or rss).
quartiles() {
    awk -v i="$1" -v c="$2" '$1 == i { print (c == "cpu" ? $3 + $4 : (c == "rss" ? $5 : $2)) }' \
        "$LAB_DIR/samples" | sort -n |
        awk '
        function at(q,   k) { k = q * (NR - 1) + 1; return v[int(k)] + (k - int(k)) * (v[int(k) + 1] - v[int(k)]) }
        { v[NR] = $1 }
        END { print at(0.25), at(0.5), at(0.75) }'
}

declare -a wall cpu rss spread
for ((i = 0; i < ${#commands[@]}; i++)); do
    read -r _ wall[i] _ <<<"$(quartiles "$i" wall)"
    read -r low cpu[i] high <<<"$(quartiles "$i" cpu)"
    spread[i]="$low $high"
    read -r _ rss[i] _ <<<"$(quartiles "$i" rss)"
done

printf '\n%-12s %10s %10s %16s %14s\n' medians "wall ms" "CPU ms" "CPU p25-p75" "peak RSS KiB"
for ((i = 0; i < ${#commands[@]}; i++)); do
    read -r low high <<<"${spread[i]}"
    awk -v l="${labels[$i]}" -v w="${wall[i]}" -v c="${cpu[i]}" -v r="${rss[i]}" \
        -v lo="$low" -v hi="$high" \
        'BEGIN { printf "%-12s %10.1f %10.2f %7.2f-%-8.2f %14.0f\n", l, w / 1000, c / 1000, lo / 1000, hi / 1000, r }'
done

printf '\n%-18s %10s %10s %14s\n' "tarnhop / peer" wall CPU "peak RSS"
for i in "${peers[@]}"; do
    awk -v l="${labels[$i]}" -v w0="${wall[0]}" -v c0="${cpu[0]}" -v r0="${rss[0]}" \
        -v w="${wall[i]}" -v c="${cpu[i]}" -v r="${rss[i]}" '
        function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
        BEGIN { printf "%-18s %10s %10s %14s\n", l, ratio(w0, w), ratio(c0, c), ratio(r0, r) }'
done

printf '\ngoals\n'
awk -v w0="${wall[0]}" -v w1="${wall[1]}" 'BEGIN {
    printf "  %-32s %s (%.1f ms against %.1f ms)\n", "wall <= traceroute + 50 ms:",
        (w0 <= w1 + 50000 ? "met" : "MISSED"), w0 / 1000, (w1 + 50000) / 1000 }'
for kind in CPU RSS; do
    met=met
    for i in "${peers[@]}"; do
        if [ "$kind" = CPU ]; then
            a=${cpu[0]} b=${cpu[i]}
        else
            a=${rss[0]} b=${rss[i]}
        fi
        awk -v a="$a" -v b="$b" 'BEGIN { exit !(a < b) }' || met=MISSED
    done
    printf '  %-32s %s\n' "$kind below every peer's:" "$met"
done
