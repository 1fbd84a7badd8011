#!/usr/bin/env bash
# End-to-end under valgrind's memcheck in the lab: traces with -c (a cache file holding
# a name, an address without one, a name with a zero byte in it and a cut record at its
# end) in all four modes (ICMP through a raw socket and a ping socket, UDP through raw
# sockets and an ordinary socket), a ping, a router's report and a resolver failure.
# Each run prints what it should and memcheck finds no error (no read of uninitialised
# or freed memory, no bad free), no leak (definite, indirect or possible: the only block
# left at exit is the C++ runtime's own emergency pool, still reachable), and no file
# descriptor left open that the program opened itself.
#
# valgrind does not run programs built with AddressSanitizer: with such a build the test
# is skipped.
set -u

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=cache_lib.sh
source "$E2E_DIR/cache_lib.sh"
e2e_require_tarnhop
if grep -q -a __asan_init "$TARNHOP"; then
    e2e_skip "an AddressSanitizer build does not run under valgrind"
fi
need_tools valgrind valgrind
# The simulator's helpers only for sim_mode: how each mode runs the program.
e2e_lab sim

# vg NAME RUNNER WANT_STATUS WANT_OUTPUT ARGS...: the program under memcheck.
vg() {
    local name=$1 runner=$2 want_status=$3 want=$4 out err st log
    shift 4
    log=$LAB_DIR/$RANDOM.vg
    e2e_check_run mask_times "$name" "$want" "$want_status" "$runner" valgrind --log-fd=3 \
        --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
        --errors-for-leak-kinds=definite,indirect,possible --track-fds=yes --track-origins=yes \
        "$program" "$@" 3>"$log"
    expect_contains "$name: no memcheck error" "$(cat "$log")" "ERROR SUMMARY: 0 errors from 0 contexts"
    expect_match "$name: no leak" "$(cat "$log")" \
        "definitely lost: 0 bytes.*|All heap blocks were freed -- no leaks are possible"
    # Every descriptor open at exit besides the standard three came from the parent.
    local own
    own=$(awk '
        /Open (file descriptor|AF_INET socket) [0-9]+/ { fd = $0; sub(/^==[0-9]+== +/, "", fd); inherited = 0; pending = 1; next }
        pending && /<inherited from parent>/ { inherited = 1 }
        pending && /^==[0-9]+== *$/ { if (!inherited) print fd; pending = 0 }
        END { if (pending && !inherited) print fd }' "$log")
    expect_eq "$name: no descriptor of its own left open" "" "$own"
    if [ "$st" = 99 ] || [ -n "$own" ]; then
        sed 's/^/    | /' "$log" | head -60
    fi
}

# The trace display, two probes a hop, hop 1's name from the cache file.
e2e_expected want_trace ecache-trace-cached-hop1

for mode in icmp-raw icmp-dgram udp-raw udp-dgram; do
    sim_mode "$mode"
    {
        cache_record "$LAB_HOP1" cached-r1.lab # the name want_trace shows
        cache_record "$LAB_HOP3" ""
        printf '\306\023\115\001\005ab\000cd' # 198.19.77.1, "ab" and a zero byte
        printf '\306\023\115'                  # a record cut in its head
    } >"$LAB_DIR/bin/tarnhop.cache"
    chmod 666 "$LAB_DIR/bin/tarnhop.cache"
    chmod 777 "$LAB_DIR/bin"
    vg "$mode: trace with -c" "$SIM_RUNNER" 0 "$want_trace" "${SIM_KIND[@]}" -c -i 2 -w 2000 "$LAB_TARGET_ADDR"
    chmod 755 "$LAB_DIR/bin"
done

lab_ping_sockets closed
e2e_expected want ping-100
vg "ping" lab_exec 0 "$want" -d -o -i 2 -l 100 -w 2000 "$LAB_TARGET_ADDR"

e2e_expected want unreachable-numeric
vg "router's report" lab_exec 0 "$want" -d -i 1 -w 2000 "$LAB_UNREACH_ADDR"
e2e_expected want nxname
vg "resolver failure" lab_exec 1 "$want" "$LAB_NXNAME"

e2e_finish
