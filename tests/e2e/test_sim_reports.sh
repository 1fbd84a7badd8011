#!/usr/bin/env bash
# End-to-end, simulated network: every ICMP report that ends a trace, with its exact
# status text after "reports: ". The second router (198.19.2.1) reports about each
# destination 198.19.9.K with one kind of message. ICMP probes take the status from the
# type and code; UDP probes take 11000 plus the type for a router's report (so every
# unreachable code reads "Destination host unreachable.") and go on after any time
# exceeded. Also the ping-only display of a router's report.
#
# What the unprivileged sockets cannot see: the kernel keeps from every protocol socket
# a time exceeded during reassembly (it only reaches raw sockets), and a fragmentation
# needed about a datagram sent without don't-fragment (tarnhop never sets it); an
# ordinary UDP socket never gets a source quench. tarnhop's UDP probe also ignores
# source quench on its raw socket, so that both UDP paths take the same messages.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab sim

# The table and its scenario are data: tests/sim/cases/reports/statuses.{txt,sim}.
reports=$(grep -v '^#' "$SIM_CASES/reports/statuses.txt")

# expected_trace ADDRESS TEXT: the trace to ADDRESS with a hop limit of 3, ended by the
# report TEXT ("*": unanswered from hop 2 on, "-": hop 3 answers like hop 2).
expected_trace() {
    printf '\nTracing route to %s with TTL of 3:\n\n' "$1"
    printf ' 1  2ms    2ms    2ms    198.19.1.1\n'
    case $2 in
    '*') printf ' %d   *      *      *     Request timed out.\n' 2 3 ;;
    -) printf ' %d  3ms    3ms    3ms    198.19.2.1\n' 2 3 ;;
    *) printf ' 2  3ms    3ms    3ms    198.19.2.1\n\n198.19.2.1 reports: %s\n' "$2" ;;
    esac
}

# The column of each mode in a row of the table.
declare -A column=([icmp-raw]=2 [icmp-dgram]=3 [udp-raw]=4 [udp-dgram]=5)
for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_begin "$(<"$SIM_CASES/reports/statuses.sim")" || continue
    while IFS='|' read -r -a row; do
        text=${row[column[$mode]]}
        [ "$text" != "=" ] || text=${row[column[$mode] - 1]}
        want=$(expected_trace "${row[1]}" "$text" && printf x)
        sim_check "${row[0]}" "${want%x}" -d -t 3 -w 200 "${row[1]}"
    done <<<"$reports"
    sim_case reports/ping-report
done

e2e_finish
