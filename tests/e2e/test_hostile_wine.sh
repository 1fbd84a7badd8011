#!/usr/bin/env bash
# End-to-end, the Windows program under wine64 in the lab: a UDP trace (raw sockets,
# select and recvfrom) through the simulated network while ping -f floods the client
# with echo replies, unrelated ICMP that the raw ICMP socket sees every one of. Each
# probe of the silent hop must give up after -w however many packets keep arriving, and
# the display is that of a quiet network, less the answers that the flood pushes out of
# the socket buffer: their probes show as stars, a hop that loses all three shows as a
# silent one, and a target's pass that does comes before one that reaches the target.
#
# Needs the x86_64 Windows build named by TARNHOP_WIN_EXE (tests/win/run_wine.sh builds
# one into build-win-x64), and wine64; without them the test is skipped, also in CI,
# where the cross-build comes after the ctest runs. Run it after that build:
#   TARNHOP_WIN_EXE=build-win-x64/tarnhop.exe TARNHOP_BUILD_DIR=build/release \
#       bash tests/e2e/test_hostile_wine.sh
# (TARNHOP_BUILD_DIR: where the simulator, tests/tools/netsim, was built.)
set -u

# The wine helpers (wine_lab_up, run_win) with lib.sh and the lab's.
# shellcheck source=../win/run_wine.sh
source "$(dirname "${BASH_SOURCE[0]}")/../win/run_wine.sh"
# shellcheck source=../lab/sim.sh
source "$E2E_DIR/../lab/sim.sh"

exe_built=${TARNHOP_WIN_EXE:-}
[ -n "$exe_built" ] || e2e_skip "TARNHOP_WIN_EXE names no Windows build"
[ -f "$exe_built" ] || e2e_skip "no Windows build at $exe_built"
[ -x "$wine64" ] && [ -x "$wineserver" ] || e2e_skip "wine64 is not installed"

wine_lab_up sim_cleanup
cp "$exe_built" "$exe"

# Boots the fresh prefix.
LAB_EXEC_TIMEOUT=120 run_win
expect_status "wine runs the program (usage text)" 1 "$st"

wait_ms=300
# The target at hop 3 behind a silent hop 2.
scenario=$SIM_CASES/harness_wine/flood.sim

# want_trace PASSES HOP1: the display of a quiet network when the target answered on pass
# PASSES (the probes of every pass from 3 on reached it) and hop 1 answered (HOP1 = yes)
# or not (no).
want_trace() {
    printf '\nTracing route to 198.19.9.9 with TTL of 32:\n\n'
    [ "$2" = no ] || printf ' 1  Nms    Nms    Nms    198.19.1.1\n'
    for ((k = 1; k < $1; k++)); do
        [ "$k" = 1 ] && [ "$2" = yes ] ||
            printf '%2d   *      *      *     Request timed out.\n' "$k"
    done
    printf '%2d  Nms    Nms    Nms    198.19.9.9\n\nTraceroute complete.\n' "$1"
}

for flood in no yes; do
    sim_start "$LAB_CLIENT" "$scenario" || {
        e2e_fail "simulator start"
        continue
    }
    [ "$flood" = no ] || e2e_flood 30
    before=$(e2e_icmp_in)
    LAB_EXEC_TIMEOUT=40 run_win -u -d -w "$wait_ms" -n 0 198.19.9.9
    received=$(($(e2e_icmp_in) - before))
    [ "$flood" = no ] || lab_bg_stop "$flood_pid"
    mask_times_into out "${out//$'\r'/}"
    # An answer pushed out of a full socket buffer by the flood shows as a star: its probe
    # waited the whole -w too. A hop whose three answers the flood takes shows as a silent
    # one; when that is the target's pass, the next pass reaches the target again.
    lost=$(printf '%s\n' "$out" | grep -vE '^ 2  ' | grep -o ' \*     ' | grep -c .)
    passes=3
    hop1=yes
    if [ "$flood" = yes ]; then
        passes=$(printf '%s\n' "$out" | sed -nE 's/^ ?([0-9]+)  .*198\.19\.9\.9$/\1/p')
        [[ $passes =~ ^[0-9]+$ ]] && ((passes >= 3)) || passes=3
        [[ $out != *$'\n 1   *      *      *     Request timed out.\n'* ]] || hop1=no
    fi
    exactly out sed -E '/[0-9]$/s/ \*     /Nms    /g' < <(printf '%s' "$out")
    exactly want want_trace "$passes" "$hop1"
    expect_eq "flood $flood: output" "$want" "$out"
    expect_status "flood $flood: status" 0 "$st"
    # From each probe to the next, as the simulator saw them arrive: at most the wait.
    # Wine's clock and select add a few milliseconds; a probe kept waiting by the flood
    # waits for as long as the flood lasts.
    intervals=$(sim_probe_fields t | awk 'NR > 1 { printf "%d\n", $1 - previous } { previous = $1 }')
    expect_eq "flood $flood: $((3 * passes - 1)) intervals between $((3 * passes)) probes" \
        $((3 * passes - 1)) "$(printf '%s\n' "$intervals" | grep -c .)"
    longest=$(printf '%s\n' "$intervals" | sort -n | tail -n 1)
    expect_within "flood $flood: no probe waited longer than $((wait_ms + 150)) ms with -w $wait_ms" \
        0 $((wait_ms + 150)) "$longest"
    # The silent hop's three probes waited the whole -w, and those whose answers were lost.
    # (The last probe has no interval after it.)
    slow=$(printf '%s\n' "$intervals" | awk -v w="$wait_ms" '$1 >= w - 20' | grep -c .)
    expect_within "flood $flood: the probes that waited the whole -w: 3, and up to $lost whose answers were lost" \
        3 $((3 + lost)) "$slow"
    printf '    (flood %s: %d ICMP messages reached the client during the trace, %d answers lost, target reached on pass %d)\n' \
        "$flood" "$received" "$lost" "$passes"
done
expect_within "the flood brought more than 10000 ICMP messages during the trace" 10001 1000000000 "$received"

e2e_finish
