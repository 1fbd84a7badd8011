#!/usr/bin/env bash
# End-to-end: resources over long runs, in all four modes (ICMP through a raw socket and
# a ping socket, UDP through raw sockets and an ordinary socket).
# - -i 100000 -n 0 -o against the lab's target: 100000 probes in one pass;
# - -t 1000 -n 0 through the simulated network, where every TTL is answered (TTL 0, after
#   each wrap, goes unanswered at once): 1000 passes of 3 probes, each with its reverse
#   lookup (and once more with -c, where the cache answers all but the first);
# While each runs, its open sockets are counted every 10 ms or so: never more than its
# ICMP socket and a lookup's, or a UDP probe's two (the descriptors it inherited, its
# standard ones among them, are not its own to close). Its
# anonymous resident memory (the heap, RssAnon) is sampled too: over the last quarter of
# the run it is no larger than over the first quarter, within 64 KiB, so nothing grows
# with the number of probes or passes (a leak of 1 byte a probe would show as 75 KiB).
# The peak of all resident memory (GNU time) is shown beside a short run's. (Under
# AddressSanitizer, whose quarantine keeps freed memory, only the descriptors count.)
set -u

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
[ -x /usr/bin/time ] || e2e_skip "GNU time (/usr/bin/time) is not installed"
e2e_lab sim
# A folder where the runs as nobody may write GNU time's figure (lab_down removes it).
res_dir=$LAB_DIR/res
mkdir -m 755 "$res_dir"

mkfifo "$res_dir/tick"
exec {tick}<>"$res_dir/tick"

check_memory=yes
if grep -q -a __asan_init "$TARNHOP"; then
    check_memory=no
    printf '    (AddressSanitizer build: memory is not compared)\n'
fi

# The pid of the program among the descendants of a process (first children down), or
# nothing yet. Reads /proc only: no fork.
program_under() {
    local at=$1 name next
    for _ in 1 2 3 4 5; do
        read -r name <"/proc/$at/comm" 2>/dev/null || return 0
        if [ "$name" = "${program##*/}" ]; then
            printf '%s' "$at"
            return 0
        fi
        next=""
        read -r next _ <"/proc/$at/task/$at/children" 2>/dev/null
        [ -n "$next" ] || return 0
        at=$next
    done
}

# measure NAME ARGS...: runs tarnhop in the lab's client in the mode sim_mode set last
# with its output to a file, samples its descriptors, shows how long it took, and sets
# peak_kib, status, most_fds and output; the run before's peak_kib goes to short_kib.
measure() {
    local name=$1 pid child fds sample=0 listing="" started
    short_kib=${peak_kib:-}
    started=$(date +%s%N)
    shift
    install -m 666 /dev/null "$res_dir/time.out"
    LAB_EXEC_TIMEOUT=120 "$SIM_RUNNER" /usr/bin/time -f %M -o "$res_dir/time.out" "$program" \
        "${SIM_KIND[@]}" "$@" \
        >"$LAB_DIR/run.out" 2>"$LAB_DIR/run.err" </dev/null {tick}>&- &
    pid=$!
    most_fds=0
    child=""
    heap=()
    # Sampling without a fork: the waits are reads that time out on a pipe that never
    # gets data.
    while [ -e "/proc/$pid/task/$pid/children" ]; do
        # The program: under the runner's timeout (ip, setpriv and env exec) is time,
        # whose child it is.
        [ -n "$child" ] || child=$(program_under "$pid")
        anon=""
        if [ -n "$child" ]; then
            fds=()
            for fd in /proc/"$child"/fd/*; do
                [ ! -S "$fd" ] || fds+=("$fd")
            done
            while read -r key value _; do
                [ "$key" != RssAnon: ] || anon=$value
            done <"/proc/$child/status" 2>/dev/null
            if [ -n "$anon" ]; then
                sample=$((sample + 1))
                heap+=("$anon")
                if ((${#fds[@]} > most_fds)); then
                    most_fds=${#fds[@]}
                    listing=$(ls -l /proc/"$child"/fd 2>/dev/null | awk 'NR > 1 {print $9, $10, $11}')
                fi
            fi
        fi
        read -r -t 0.01 -u "$tick" _
    done
    wait "$pid"
    status=$?
    printf '    (%s: %d ms)\n' "$name" $((($(date +%s%N) - started) / 1000000))
    peak_kib=$(tail -n 1 "$res_dir/time.out" 2>/dev/null)
    exactly output cat "$LAB_DIR/run.out"
    expect_status "$name: status" 0 "$status"
    expect_eq "$name: nothing on stderr" "" "$(cat "$LAB_DIR/run.err")"
    # At most three sockets at once (the top of this file says whose).
    if ((sample > 0 && most_fds <= 3)); then
        e2e_pass "$name: at most $most_fds sockets open at a time ($sample samples)"
    else
        e2e_fail "$name: $most_fds sockets open at once ($sample samples)" "$listing"
    fi
}

# check_heap NAME: the samples of the last run (at least 8) grow by no more than 64 KiB
# from their first quarter to their last; shows its peak beside the short run's before.
check_heap() {
    local n=${#heap[@]} quarter first=0 last=0 i
    printf '    (%s: peak resident memory %s KiB, a short run %s KiB)\n' "$1" "$peak_kib" "$short_kib"
    [ "$check_memory" = yes ] || return 0
    if ((n < 8)); then
        e2e_fail "$1: only $n samples of its memory"
        return 0
    fi
    quarter=$((n / 4))
    for ((i = 0; i < quarter; i++)); do
        ((heap[i] > first)) && first=${heap[i]}
        ((heap[n - 1 - i] > last)) && last=${heap[n - 1 - i]}
    done
    ((last <= first + 64))
    expect_true "$1: heap ${first} KiB in the first quarter of the run, ${last} KiB in the last ($n samples)" $?
}

# The simulated network of the 1000 passes (the pings go to the lab's target).
sim_start "$LAB_CLIENT" - <<'EOF' || e2e_fail "simulator start"
hop 1-255 198.19.1.1
EOF
for mode in icmp-raw icmp-dgram udp-raw udp-dgram; do
    sim_mode "$mode"
    # ---- 100000 probes in one pass
    measure "$mode: -i 1000 -n 0 -o" -i 1000 -n 0 -o -d "$LAB_TARGET_ADDR"
    measure "$mode: -i 100000 -n 0 -o" -i 100000 -n 0 -o -d "$LAB_TARGET_ADDR"
    expect_eq "$mode: -i 100000: 100000 replies" 100000 "$(grep -c "^Reply from $LAB_TARGET_ADDR: bytes=32 time=[0-9]*ms TTL=60$" <<<"$output")"
    expect_eq "$mode: -i 100000: the completion line last" "Pinging complete." "$(printf '%s' "$output" | tail -n 1)"
    check_heap "$mode: -i 100000"
    # ---- 1000 passes
    measure "$mode: -t 10 -n 0" -t 10 -n 0 -w 1000 198.19.9.9
    measure "$mode: -t 1000 -n 0" -t 1000 -n 0 -w 1000 198.19.9.9
    answered=$(grep -c -E '^ ?[0-9]+  ([0-9]+ms +){3}198\.19\.1\.1$' <<<"$output")
    expect_eq "$mode: -t 1000: 997 hops answered" 997 "$answered"
    if [ "$answered" != 997 ]; then
        grep -v -E '^ ?[0-9]+  ([0-9]+ms +){3}198\.19\.1\.1$|^ 0   \*|^$|^Tracing' <<<"$output" |
            head -5 | sed 's/^/    | /'
        sim_sent | tail -n 3 | sed 's/^/    : /'
    fi
    expect_eq "$mode: -t 1000: TTL 0 three times unanswered" 3 \
        "$(grep -c -E '^ 0   \*      \*      \*     Request timed out\.$' <<<"$output")"
    check_heap "$mode: -t 1000"
done

# With the cache: one record learned, and no more memory than a short run with it.
e2e_copy_program "$LAB_DIR/cached"
sim_mode icmp-raw
measure "icmp-raw, -c: -t 10 -n 0" -c -t 10 -n 0 -w 1000 198.19.9.9
rm -f "$LAB_DIR/cached/tarnhop.cache"
measure "icmp-raw, -c: -t 1000 -n 0" -c -t 1000 -n 0 -w 1000 198.19.9.9
expect_eq "icmp-raw, -c: -t 1000: the cache file holds 198.19.1.1 and the target" \
    "c6130909 c6130101" "$(xxd -p -c 5 "$LAB_DIR/cached/tarnhop.cache" | cut -c 1-8 | tr '\n' ' ' | sed 's/ $//')"
check_heap "icmp-raw, -c: -t 1000"
sim_stop

e2e_finish
