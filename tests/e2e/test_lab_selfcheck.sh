#!/usr/bin/env bash
# End-to-end: the network lab is what the other end-to-end tests take it to be,
# checked with the system's own tools only (traceroute, getent, ping, tcpdump).
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$E2E_DIR/../lab/lab.sh"

# Prints "hop address" for each numbered line of traceroute output, and the
# !-flag of the line when it has one.
hops_of() {
    awk '$1 ~ /^[0-9]+$/ { line = $1 " " $2; if ($NF ~ /^!/) line = line " " $NF; print line }'
}

# lab_up_as_nobody ENV...: e2e_run (out err st) of lab.sh's lab_up as nobody, under env
# ENV.... Nothing network-related runs here; lab_up stops at its first check.
lab_up_as_nobody() {
    e2e_run out err st setpriv --reuid=nobody --regid="${_LAB_NOBODY_GROUP:-nogroup}" \
        --clear-groups env "$@" bash -c "$(cat "$E2E_DIR/../lab/lab.sh")"$'\nlab_up\necho built'
}

# Not root: the lab is skipped, or fails when CI=true.
check_lab_not_root() {
    local out err st
    lab_up_as_nobody -u CI
    expect_status "not root: skipped" 77 "$st"
    expect_contains "not root: says why" "$err" "not running as root"
    expect_not_contains "not root: stops" "$out" "built"
    lab_up_as_nobody CI=true
    expect_status "not root with CI=true: fails" 1 "$st"
}

check_route() {
    local out err st expected mode
    expected=$(printf '%s\n' "1 $LAB_HOP1" "2 $LAB_HOP2" "3 $LAB_HOP3" "4 $LAB_HOP4" \
        "5 $LAB_TARGET_ADDR")
    for mode in udp icmp; do
        local flags=()
        [ "$mode" = icmp ] && flags=(-I)
        e2e_run out err st lab_exec traceroute "${flags[@]}" -n -q 1 -N 1 -w 1 -m 8 \
            "$LAB_TARGET_ADDR"
        expect_status "traceroute ($mode) to the target: status" 0 "$st"
        expect_eq "traceroute ($mode) to the target: hops 1-4 then the target" \
            "$expected" "$(hops_of <<<"$out")"
    done
}

# Prints "ADDRESS STATUS NAME..." for each address or name, from getent hosts
# run in the client (one process for all of them).
lookups() {
    lab_exec sh -c 'for a do r=$(getent hosts "$a"); echo "$a $? $r"; done' sh "$@" |
        awk '{ printf "%s %s", $1, $2; for (i = 4; i <= NF; i++) printf " %s", $i; print "" }'
}

check_names() {
    local addr out err st before expected outside
    outside="tarnhop-selfcheck-$LAB_SUFFIX.example"
    # "ADDRESS STATUS NAME" of each lookup (status 2: no such name).
    expected="\
$LAB_HOP1 0 $LAB_HOP1_NAME
$LAB_HOP2 0 $LAB_HOP2_NAME
$LAB_HOP3 2
$LAB_HOP4 0 $LAB_HOP4_NAME
$LAB_TARGET_ADDR 0 $LAB_TARGET_NAME
$LAB_TARGET_NAME 0 $LAB_TARGET_NAME
$LAB_NXNAME 2
$outside 2
localhost 0 localhost
"
    # shellcheck disable=SC2046 # one word an address or name
    e2e_run out err st lookups $(cut -d ' ' -f 1 <<<"$expected")
    expect_eq "client lookups: hop names (hop 3 none), target both ways, unknown names" \
        "$expected" "$out"
    e2e_run out err st lab_exec getent ahostsv4 "$LAB_TARGET_NAME"
    expect_eq "target forward name gives its address" "$LAB_TARGET_ADDR" \
        "$(awk 'NR == 1 { print $1 }' <<<"$out")"

    # Every lookup went to the lab DNS, exactly once for an address.
    for addr in "$LAB_HOP1" "$LAB_HOP2" "$LAB_HOP3" "$LAB_HOP4" "$LAB_TARGET_ADDR"; do
        expect_eq "lookup of $addr went to the lab DNS once" 1 "$(lab_dns_queries "$addr")"
    done
    expect_contains "unknown lab name reached the lab DNS" "$(cat "$LAB_DNS_LOG")" \
        "$LAB_NXNAME is NXDOMAIN"
    before=$(lab_dns_queries "$outside")
    ((before >= 1))
    expect_true "name outside the lab was asked of the lab DNS" $? "queries: $before"
    expect_eq "localhost came from the hosts file, not from DNS" 0 "$(lab_dns_queries localhost)"

    # Only the lab's resolver and hosts file are seen in the client.
    e2e_run out err st lab_exec sh -c \
        'grep "^nameserver" /etc/resolv.conf; awk "!/^#/ && NF { print \$2 }" /etc/hosts'
    expect_eq "client resolv.conf names only the lab DNS; hosts has only localhost" \
        "nameserver $LAB_DNS_ADDR"$'\nlocalhost\nlocalhost\n' "$out"

    # The counter sees a new lookup, and an address asked twice counts twice.
    expect_eq "no query yet for an address nobody looked up" 0 \
        "$(lab_dns_queries "$LAB_BLACKHOLE_ADDR")"
    lookups "$LAB_BLACKHOLE_ADDR" "$LAB_BLACKHOLE_ADDR" >/dev/null
    expect_eq "two lookups of one address count twice" 2 "$(lab_dns_queries "$LAB_BLACKHOLE_ADDR")"
}

# One probe per hop; the kernel limits unreachable answers, so a missing answer
# is asked once more after a gap.
check_route_type() {
    local label=$1 addr=$2 flag=$3 out err st hops _
    for _ in 1 2; do
        e2e_run out err st lab_exec traceroute -n -q 1 -N 1 -w 1 -m 6 "$addr"
        hops=$(hops_of <<<"$out" | tail -n 1)
        [ "$hops" = "4 $LAB_HOP4 $flag" ] && break
        sleep 1.1
    done
    expect_eq "$label: r4 answers $flag" "4 $LAB_HOP4 $flag" "$hops"
}

check_route_types() {
    local out err st
    check_route_type "unreachable route" "$LAB_UNREACH_ADDR" '!H'
    check_route_type "prohibit route" "$LAB_PROHIBIT_ADDR" '!X'
    check_route_type "no route" "$LAB_NONET_ADDR" '!N'
    e2e_run out err st lab_exec traceroute -n -q 1 -N 1 -w 0.5 -m 4 "$LAB_BLACKHOLE_ADDR"
    expect_eq "blackhole route: r4 stays silent, also for probes that expire there" \
        "$(printf '%s\n' "1 $LAB_HOP1" "2 $LAB_HOP2" "3 $LAB_HOP3" "4 *")" \
        "$(hops_of <<<"$out")"
}

check_users() {
    local out err st
    e2e_run out err st lab_exec_nobody sh -c 'id -un; grep -E "^(CapPrm|CapEff|NoNewPrivs):" /proc/self/status'
    expect_eq "lab_exec_nobody runs as nobody without capabilities" \
        "$(printf '%s\n' nobody 'CapPrm:	0000000000000000' 'CapEff:	0000000000000000' 'NoNewPrivs:	1')" \
        "${out%$'\n'}"
    e2e_run out err st lab_exec_nobody ping -n -c 1 -W 1 "$LAB_TARGET_ADDR"
    expect_status "nobody cannot ping with ping sockets closed (the lab's default)" 2 "$st"
    lab_ping_sockets open
    e2e_run out err st lab_exec cat /proc/sys/net/ipv4/ping_group_range
    expect_eq "ping sockets open: group range" $'0\t2147483647\n' "$out"
    e2e_run out err st lab_exec_nobody ping -n -c 1 -W 1 "$LAB_TARGET_ADDR"
    expect_status "nobody pings the target with ping sockets open" 0 "$st"
    expect_contains "nobody's ping reply comes from the target" "$out" "from $LAB_TARGET_ADDR"
    lab_ping_sockets closed
    e2e_run out err st lab_exec_nobody ping -n -c 1 -W 1 "$LAB_TARGET_ADDR"
    expect_status "nobody cannot ping once ping sockets are closed again" 2 "$st"
    e2e_run out err st lab_exec ping -n -c 1 -W 1 "$LAB_TARGET_ADDR"
    expect_status "root pings the target with ping sockets closed" 0 "$st"
}

check_capture() {
    local out err st shown ttls
    e2e_captured icmp lab_exec traceroute -I -n -q 1 -N 1 -f 1 -m 3 -w 1 "$LAB_TARGET_ADDR" || return
    out=$(lab_capture_text)
    # tcpdump -v prints a packet's IP header on a line starting with the time,
    # then its ICMP line; a quoted packet inside an ICMP error follows on a line
    # starting with a tab.
    ttls=$(awk -v req="$LAB_CLIENT_ADDR > $LAB_TARGET_ADDR: ICMP echo request" '
        /^[0-9]/ { ttl = $0; sub(/.*ttl /, "", ttl); sub(/,.*/, "", ttl); quoted = 0 }
        /^\t/ { quoted = 1 }
        index($0, req) && !quoted { printf "%s ", ttl }' <<<"$out")
    expect_eq "capture in r1: echo requests with TTL 1, 2, 3" "1 2 3 " "$ttls"
    expect_eq "capture in r1: time exceeded from hops 1-3" \
        "$(printf '%s\n' "$LAB_HOP1" "$LAB_HOP2" "$LAB_HOP3")" \
        "$(awk '/ICMP time exceeded/ { print $1 }' <<<"$out")"
}

# lab_up failing half-way (dnsmasq refuses to start) and a signal after lab_up
# both leave nothing behind.
check_cleanup_paths() {
    local fake out err st
    fake=$(mktemp -d)
    printf '#!/bin/sh\necho "$LAB_SUFFIX" > %s/suffix\necho "fake dnsmasq" >&2\nexit 1\n' \
        "$fake" >"$fake/dnsmasq"
    chmod +x "$fake/dnsmasq"
    e2e_run out err st bash -c 'PATH=$1:$PATH; source "$2"; lab_up; echo built' \
        bash "$fake" "$E2E_DIR/../lab/lab.sh"
    expect_status "lab_up failing half-way: fails" 1 "$st"
    expect_contains "lab_up failing half-way: says why" "$err" "dnsmasq did not start"
    check_nothing_left "after a half-way lab_up" "$(cat "$fake/suffix" 2>/dev/null)"
    rm -f "$fake/suffix"

    e2e_run out err st bash -c 'source "$2"; lab_up; echo "$LAB_SUFFIX" > "$1/suffix";
        kill -TERM $BASHPID; echo "still running"' bash "$fake" "$E2E_DIR/../lab/lab.sh"
    expect_status "TERM after lab_up: exits 143" 143 "$st"
    expect_not_contains "TERM after lab_up: stops at once" "$out" "still running"
    check_nothing_left "after TERM" "$(cat "$fake/suffix" 2>/dev/null)"
    rm -rf -- "$fake"
}

# check_nothing_left LABEL SUFFIX [DNS_PID CAPTURE_PID LAB_DIR]
check_nothing_left() {
    local label=$1 suffix=$2 dns_pid=${3:-} capture_pid=${4:-} dir=${5:-} left=""
    if [ -z "$suffix" ]; then
        e2e_fail "$label: lab suffix known"
        return
    fi
    ip netns list | grep -q -- "-$suffix-" && left+=" namespaces"
    ip -o link | grep -q -- "$suffix" && left+=" links"
    compgen -G "/etc/netns/tarnhop-$suffix-*" >/dev/null && left+=" /etc/netns"
    compgen -G "/tmp/tarnhop-lab-$suffix.*" >/dev/null && left+=" temp-dir"
    [ -n "$dir" ] && [ -e "$dir" ] && left+=" LAB_DIR"
    [ -n "$dns_pid" ] && [ -e "/proc/$dns_pid" ] && left+=" dnsmasq"
    [ -n "$capture_pid" ] && [ -e "/proc/$capture_pid" ] && left+=" tcpdump"
    [ -z "$left" ]
    expect_true "$label: nothing left behind" $? "left:$left"
}

check_lab_not_root

start=$(date +%s%N)
lab_up
printf 'lab_up took %d ms\n' $((($(date +%s%N) - start) / 1000000))
check_route
check_names
check_route_types
check_users
check_capture

suffix=$LAB_SUFFIX dns_pid=$LAB_DNS_PID dir=$LAB_DIR
lab_capture_start icmp
capture_pid=$_LAB_CAPTURE_PID
lab_down
lab_down
check_nothing_left "after lab_down (called twice, capture still running)" "$suffix" \
    "$dns_pid" "$capture_pid" "$dir"
check_cleanup_paths

e2e_finish
