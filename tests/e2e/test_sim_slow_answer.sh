#!/usr/bin/env bash
# End-to-end, simulated network, the slow one (about 10 s per probe kind): an answer
# after 10000 ms with -w 11000 fills its time cell with the first seven characters of
# its text, "10000ms" with no space after it, so the next cell follows directly; the
# pass still sends exactly its three probes.
# Each mode's entry spends its 10 s waiting, with a lab and a simulator of its own, so
# the entries may run beside each other (tests/CMakeLists.txt reads the next line).
# ctest: may run beside other tests
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab sim

# The case is data: tests/sim/cases/slow_answer.
for mode in $(sim_modes); do
    sim_mode "$mode"
    sim_case slow_answer/after-10s
done

e2e_finish
