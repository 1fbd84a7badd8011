#!/usr/bin/env bash
# Runs every fuzz target for a given time each (default 60 s), starting from the seed
# corpus in tests/fuzz/corpus, and prints executions, coverage and crashes per target.
# Usage: bench/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
cmake --preset fuzz >/dev/null
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    mapfile -t targets < <(sed -n 's/^foreach(target \(.*\))$/\1/p' tests/fuzz/CMakeLists.txt | tr ' ' '\n')
fi
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]}" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-22s %12s %8s %8s %s\n' target executions cov ft result
status=0
for target in "${targets[@]}"; do
    mkdir -p "$work/$target"
    cp -r "tests/fuzz/corpus/$target/." "$work/$target/" 2>/dev/null || true
    log="$work/$target.log"
    result=ok
    if ! "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/$target-" "$work/$target" >"$log" 2>&1; then
        result="CRASH (see below)"
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    printf '%-22s %12s %8s %8s %s\n' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
    if [ "$result" != ok ]; then
        grep -A 30 -E '^==[0-9]+==ERROR|deadly signal' "$log" | head -n 40
        ls "$work" | grep -E "^$target-(crash|leak|timeout|oom)" | while read -r artifact; do
            echo "input: $(xxd -p "$work/$artifact" | tr -d '\n' | head -c 400)"
        done
    fi
done
exit "$status"
