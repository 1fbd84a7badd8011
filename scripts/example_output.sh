#!/usr/bin/env bash
# Runs tarnhop in the test lab (network namespaces on this machine, nothing leaves it)
# and writes what it printed into README.md between the example-output markers, so the
# examples there are real output of the current program.
#
#   sudo scripts/example_output.sh [path/to/tarnhop]      (default: build/release/tarnhop)
#   sudo scripts/example_output.sh --print [path/to/tarnhop]   show it, leave README alone
#
# The runs are an ordinary user's (nobody, with ping sockets allowed in the lab): a
# trace by name, a ping, a trace with UDP probes, and a trace to an address that the
# last router reports unreachable.
set -euo pipefail

cd "$(dirname "$0")/.."
source_dir=$(pwd)

print_only=0
if [ "${1:-}" = --print ]; then
    print_only=1
    shift
fi
tool=${1:-build/release/tarnhop}
[ -x "$tool" ] || {
    echo "no tarnhop binary at $tool; build it first (cmake --preset release && cmake --build --preset release)" >&2
    exit 1
}
tool=$(realpath "$tool")

# shellcheck source=../tests/lab/lab.sh
source tests/lab/lab.sh
lab_up
work=$(mktemp -d "/tmp/tarnhop-examples.XXXXXX")
trap 'lab_down; rm -rf -- "$work"' EXIT
# User nobody runs a copy from here.
chmod 755 "$work"
cp "$tool" "$work/tarnhop"
chmod 755 "$work/tarnhop"
lab_ping_sockets open

section=$work/section.md

# Runs one example as nobody and appends the command line and its output.
example() {
    local title=$1 output status
    shift
    output=$(cd "$work" && lab_exec_nobody ./tarnhop "$@") && status=0 || status=$?
    if [ "$status" != 0 ]; then
        echo "example failed with status $status: tarnhop $*" >&2
        printf '%s\n' "$output" >&2
        exit 1
    fi
    {
        printf '%s\n\n```\n$ tarnhop %s\n%s\n```\n\n' "$title" "$*" "$output"
    } >>"$section"
}

{
    echo "<!-- example-output:begin (written by scripts/example_output.sh; do not edit by hand) -->"
    echo "Real output of the current program, run by \`scripts/example_output.sh\` as an ordinary"
    echo "user in the test lab: a chain of network namespaces on one machine with four routers"
    echo "(r1.lab to r4.lab; the third has no reverse name) in front of the host target.lab,"
    echo "addresses from 198.18.0.0/15, and a DNS server of its own."
    echo
} >"$section"

example "A trace by name:" "$LAB_TARGET_NAME"
example "A ping (\`-o\`), four probes:" -o -i 4 "$LAB_TARGET_NAME"
example "A trace with UDP probes (\`-u\`), one probe per hop, no names (\`-d\`):" \
    -u -i 1 -d "$LAB_TARGET_ADDR"
example "A trace that the last router ends with a report:" -i 1 "$LAB_UNREACH_ADDR"
echo "<!-- example-output:end -->" >>"$section"

if ((print_only)); then
    cat "$section"
    exit 0
fi

readme=$source_dir/README.md
if ! grep -q '^<!-- example-output:begin' "$readme" || ! grep -q '^<!-- example-output:end -->' "$readme"; then
    echo "README.md has no example-output markers" >&2
    exit 1
fi
awk -v section="$section" '
    /^<!-- example-output:begin/ { while ((getline line < section) > 0) print line; skip = 1; next }
    /^<!-- example-output:end -->/ { skip = 0; next }
    !skip { print }' "$readme" >"$work/README.md"
cat "$work/README.md" >"$readme"
echo "README.md: example output updated"
