#!/usr/bin/env bash
# Runs every benchmark of the project, shows each one's own output, and ends with one
# table of medians and of tarnhop's ratios to the Linux traceroute and tracepath:
#
#   lab_trace.sh icmp   a whole trace through the lab's four routers: tarnhop -n 0
#                       against traceroute -I -q 3 -N 1 and tracepath -n
#   lab_trace.sh udp    the same with tarnhop -u -n 0 against traceroute -q 3 -N 1
#   cache_bench         the host-name cache file at scale: load, lookups, save, memory
#   sim_accuracy.sh     reported minus real round-trip milliseconds (simulated network)
#
#   sudo bench/run_all.sh [--quick] [--readme]
#
# --quick    fewer repetitions (a minute or so instead of several)
# --readme   also write the table, with the date and the machine, into README.md
#            between the bench-table markers
# BUILD_DIR  the release build to measure (default build/release; configured and built
#            when needed)
#
# Needs root (network namespaces), traceroute, tracepath and what the lab needs. Exits
# non-zero when a benchmark failed or its figures could not be read.
set -u
cd "$(dirname "$0")/.." || exit 1

quick=0
readme=0
for argument in "$@"; do
    case $argument in
    --quick) quick=1 ;;
    --readme) readme=1 ;;
    *)
        sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 2
        ;;
    esac
done

if ((quick)); then
    trace_rounds=5 cache_records=200000 cache_runs=3 accuracy_probes=20
else
    trace_rounds=15 cache_records=1000000 cache_runs=5 accuracy_probes=100
fi

# ---- The build ---------------------------------------------------------------------

BUILD_DIR=${BUILD_DIR:-build/release}
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    if [ "$BUILD_DIR" = build/release ]; then
        cmake --preset release >/dev/null || exit 1
    else
        cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
    fi
fi
if grep -q '^TARNHOP_SANITIZE:BOOL=ON' "$BUILD_DIR/CMakeCache.txt"; then
    echo "$BUILD_DIR is a sanitizer build; its figures would say nothing" >&2
    exit 1
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
[ "$build_type" = Release ] || echo "note: $BUILD_DIR is a '$build_type' build, not Release" >&2
cmake --build "$BUILD_DIR" -j "$(nproc)" --target tarnhop cache_bench netsim >/dev/null || {
    echo "building tarnhop, cache_bench and netsim in $BUILD_DIR failed" >&2
    exit 1
}
BUILD_DIR=$(realpath "$BUILD_DIR")
tarnhop=$BUILD_DIR/tarnhop
cache_bench=$BUILD_DIR/bench/cache_bench

logs=$(mktemp -d /tmp/tarnhop-bench-all.XXXXXX)
trap 'rm -rf -- "$logs"' EXIT
failed=()

# Runs one benchmark, its output shown and kept in $logs/NAME.
run_benchmark() {
    local name=$1
    shift
    printf '\n==== %s: %s\n' "$name" "$*"
    "$@" 2>&1 | tee "$logs/$name"
    local status=${PIPESTATUS[0]}
    if [ "$status" != 0 ]; then
        echo "==== $name failed (status $status)"
        failed+=("$name")
    fi
}

started=$(date -u '+%Y-%m-%d %H:%M UTC')
run_benchmark trace-icmp env TARNHOP="$tarnhop" bash bench/lab_trace.sh icmp "$trace_rounds"
run_benchmark trace-udp env TARNHOP="$tarnhop" bash bench/lab_trace.sh udp "$trace_rounds"
run_benchmark cache "$cache_bench" --records "$cache_records" --runs "$cache_runs"
run_benchmark accuracy env BUILD_DIR="$BUILD_DIR" bash bench/sim_accuracy.sh \
    --probes "$accuracy_probes"

# ---- Reading the figures -----------------------------------------------------------

# trace_medians LOG LABEL: "WALL_MS CPU_MS RSS_KIB" of one command in lab_trace.sh's
# table of medians (its label fills the first 12 columns).
trace_medians() {
    awk -v want="$2" '
        /^medians / { inside = 1; next }
        inside && /^$/ { exit }
        inside {
            label = substr($0, 1, 12); sub(/ +$/, "", label)
            if (label == want) { split(substr($0, 13), f, " "); print f[1], f[2], f[4]; exit }
        }' "$1"
}

# cache_medians LOG: "RECORDS FILE_MIB LOAD_MS LOOKUPS_MS SAVE_MS TOTAL_MS PEAK_MIB" from
# cache_bench's first line and its median row (times as wall/CPU; the wall part counts).
cache_medians() {
    awk '
        NR == 1 && / records, file / { records = $1; mib = $4 }
        $1 == "median" {
            for (i = 2; i <= 5; i++) { split($i, t, "/"); w[i] = t[1] }
            print records, mib, w[2], w[3], w[4], w[5], $6; exit
        }' "$1"
}

# accuracy_summary LOG: "ANSWERS LOST MEDIAN MIN MAX" of reported minus chosen
# milliseconds over every mode and delay.
accuracy_summary() {
    awk '/^every mode and delay/ { split(substr($0, 23), f, " ");
        print f[1], f[2], f[8], f[9], f[10]; exit }' "$1"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

rows=()  # "benchmark|figure|tarnhop|traceroute|ratio|tracepath|ratio"

add_trace_rows() {
    local name=$1 title=$2 own traceroute tracepath
    [ -s "$logs/$name" ] || return 1
    own=$(trace_medians "$logs/$name" tarnhop)
    traceroute=$(trace_medians "$logs/$name" traceroute)
    tracepath=$(trace_medians "$logs/$name" tracepath)
    [ -n "$own" ] && [ -n "$traceroute" ] && [ -n "$tracepath" ] || return 1
    local -a o r p
    read -r -a o <<<"$own"
    read -r -a r <<<"$traceroute"
    read -r -a p <<<"$tracepath"
    local figures=("wall ms" "CPU ms" "peak RSS KiB") i
    for i in 0 1 2; do
        rows+=("$title|${figures[i]}|${o[i]}|${r[i]}|$(ratio "${o[i]}" "${r[i]}")|${p[i]}|$(ratio "${o[i]}" "${p[i]}")")
        title=""
    done
}

add_trace_rows trace-icmp "trace, ICMP (lab, 5 hops)" || failed+=("trace-icmp figures")
add_trace_rows trace-udp "trace, UDP (lab, 5 hops)" || failed+=("trace-udp figures")

cache=$(cache_medians "$logs/cache" 2>/dev/null)
if [ -n "$cache" ]; then
    read -r records mib load lookups save _ peak <<<"$cache"
    rows+=("cache file, $records records ($mib MiB)|load ms|$load|-|-|-|-")
    rows+=("|lookups ms|$lookups|-|-|-|-")
    rows+=("|save ms|$save|-|-|-|-")
    rows+=("|peak RSS MiB|$peak|-|-|-|-")
else
    failed+=("cache figures")
fi

accuracy=$(accuracy_summary "$logs/accuracy" 2>/dev/null)
if [ -n "$accuracy" ]; then
    read -r answers lost median low high <<<"$accuracy"
    rows+=("round-trip accuracy ($answers replies, $lost lost)|reported - real ms: median|$median|-|-|-|-")
    rows+=("|min / max|$low / $high|-|-|-|-")
else
    failed+=("accuracy figures")
fi

# ---- The table ---------------------------------------------------------------------

machine="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) CPUs"
machine+=", Linux $(uname -r), $(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-}")"
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if git diff --quiet HEAD -- 2>/dev/null; then :; else commit+=" with local changes"; fi
mode=$( ((quick)) && echo "--quick: $trace_rounds rounds" || echo "$trace_rounds rounds")

printf '\n==== all benchmarks: medians, and tarnhop / peer (below 1: tarnhop uses less)\n'
printf '%s; %s; tarnhop %s; %s\n\n' "$started" "$machine" "$commit" "$mode"
printf '%-42s %-28s %11s %11s %6s %11s %6s\n' benchmark figure tarnhop traceroute ratio \
    tracepath ratio
for row in "${rows[@]}"; do
    IFS='|' read -r b f t r rr p pr <<<"$row"
    printf '%-42s %-28s %11s %11s %6s %11s %6s\n' "$b" "$f" "$t" "$r" "$rr" "$p" "$pr"
done

if ((readme)); then
    section=$logs/section.md
    {
        echo "<!-- bench-table:begin (written by bench/run_all.sh --readme; do not edit by hand) -->"
        echo "Latest figures: $started; $machine; tarnhop $commit; \`bench/run_all.sh\` ($mode)."
        echo "Medians; a ratio is tarnhop's figure divided by the peer's (below 1: tarnhop uses less)."
        echo
        echo "| benchmark | figure | tarnhop | traceroute | ratio | tracepath | ratio |"
        echo "|---|---|---:|---:|---:|---:|---:|"
        for row in "${rows[@]}"; do
            printf '| %s |\n' "${row//|/ | }"
        done
        echo "<!-- bench-table:end -->"
    } >"$section"
    if grep -q '^<!-- bench-table:begin' README.md && grep -q '^<!-- bench-table:end -->' README.md; then
        awk -v section="$section" '
            /^<!-- bench-table:begin/ { while ((getline line < section) > 0) print line; skip = 1; next }
            /^<!-- bench-table:end -->/ { skip = 0; next }
            !skip { print }' README.md >"$logs/README.md"
        cat "$logs/README.md" >README.md
        echo "README.md: benchmark table updated"
    else
        echo "README.md has no bench-table markers" >&2
        failed+=("README")
    fi
fi

if ((${#failed[@]} > 0)); then
    echo "failed: ${failed[*]}" >&2
    exit 1
fi
