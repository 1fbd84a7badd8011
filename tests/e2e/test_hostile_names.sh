#!/usr/bin/env bash
# End-to-end in the lab: host names built to attack the terminal (escape and control
# sequences, an 8-bit CSI, a carriage return and line feed that would forge a hop line,
# backspaces, DEL, bytes above 0x7e) never reach standard output as such, in the banner
# or in hop lines. Three ways in:
# 1. PTR records served by a DNS server (a dnsmasq of the test's own, beside the lab's):
#    dnsmasq refuses raw control and high bytes in a record, turns a raw BEL into a
#    space, and sends "\027" as the four characters it is; glibc's resolver refuses every
#    name with a space, a backslash or any byte outside letters, digits, '-' and '_', so
#    such hops show their address alone. A plain name from the same server shows as it is.
# 2. The hosts file (glibc's "files" source), which hands over any byte but white space
#    and '#': each byte outside printable ASCII shows as '?'.
# 3. The cache file (-c), whose names are any bytes but zero: the same, and the file
#    keeps them as they are.
# Every line of every run is checked byte for byte, and no byte of the output lies
# outside printable ASCII but the line ends.
set -u

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=cache_lib.sh
source "$E2E_DIR/cache_lib.sh"
e2e_lab

# The displays wanted are tests/e2e/expected/ecache-hostile-*.out (times masked): each
# name there as the terminal may be shown it, every byte outside printable ASCII a '?'
# (a name that holds text like a time, "1ms", masked as well).

# Only printable ASCII and line ends.
check_bytes() {
    local title=$1 text=$2 bad
    bad=$(printf '%s' "$text" | LC_ALL=C tr -d '\n -~' | od -An -tx1 | tr -s ' \n' ' ')
    [ -z "${bad// /}" ]
    expect_true "$title: only printable ASCII and line ends" $? "other bytes reached the output:$bad"
}

# check_run TITLE EXPECTED CMD...: CMD prints expected/EXPECTED.out (times masked, see
# mask_times), status 0, nothing on stderr, and only printable ASCII and line ends.
check_run() {
    local want
    e2e_expected want "$2"
    e2e_check_run mask_times "$1" "$want" 0 "${@:3}"
    check_bytes "$1" "$out"
}

# ---- 1. PTR records from a DNS server --------------------------------------------------
dns_addr=127.0.0.2
# The test's own DNS server, started with lab_bg: it stops when the lab goes, whenever.
lab_bg client dnsmasq --keep-in-foreground --conf-file=/dev/null \
    --no-resolv --no-hosts --no-poll --listen-address="$dns_addr" --bind-interfaces \
    --port=53 --user=root --group=root --pid-file="$LAB_DIR/hostile-dns.pid" \
    --log-queries --log-facility="$LAB_DIR/hostile-dns.log" \
    --ptr-record="$(lab_ptr_name "$LAB_HOP1"),plain-name.lab" \
    --ptr-record="$(lab_ptr_name "$LAB_HOP2"),esc\\027[2J.lab" \
    --ptr-record="$(lab_ptr_name "$LAB_HOP3"),bell"$'\a'"ring.lab" \
    --ptr-record="$(lab_ptr_name "$LAB_HOP4"),sp ace.lab" \
    --ptr-record="$(lab_ptr_name "$LAB_TARGET_ADDR"),a\\.b.lab" \
    </dev/null >"$LAB_DIR/hostile-dns.out" 2>&1
dns_pid=$LAB_BG_PID
if lab_await "$dns_pid" grep -qs ': started, version' "$LAB_DIR/hostile-dns.log"; then
    cp "/etc/netns/$LAB_CLIENT/resolv.conf" "$LAB_DIR/resolv.conf.lab"
    printf 'nameserver %s\noptions timeout:1 attempts:1\n' "$dns_addr" >"/etc/netns/$LAB_CLIENT/resolv.conf"
    check_run "PTR names from DNS" ecache-hostile-dns lab_exec "$TARNHOP" -i 1 -w 1000 "$LAB_TARGET_ADDR"
    # Every hostile name was asked for and served: the resolver refused it.
    for address in "$LAB_HOP2" "$LAB_HOP3" "$LAB_HOP4" "$LAB_TARGET_ADDR"; do
        expect_match "the DNS server served a PTR record for $address" \
            "$(cat "$LAB_DIR/hostile-dns.log")" "config $(lab_ptr_name "$address" | sed 's/\./\\./g') is <PTR>"
    done
    cp "$LAB_DIR/resolv.conf.lab" "/etc/netns/$LAB_CLIENT/resolv.conf"
else
    e2e_fail "a DNS server with hostile PTR records: did not start" "$(cat "$LAB_DIR/hostile-dns.out")"
fi
lab_bg_stop "$dns_pid"

# ---- 2. The hosts file -----------------------------------------------------------------
target_name=$'title\e]0;owned\aback\e[2J.lab'
hop1_name=$'csi\x9b31m\xff\xfe.lab'
hop2_name=$'cr\rlf\n 9  1ms    forged.lab'
hop3_name=$'bs\b\b\bdel\x7f.lab'
hop4_name=$'tab-less\x01\x1f\x80\xa0.lab'
# The hosts file splits at white space (a carriage return included): hop 2's name there
# moves the cursor instead.
hosts_hop2=$'cursor\e[1Aup\e[K.lab'
# The target, then hops 1 to 4: their addresses and the names they get.
printf '%s\t%s\n' "$LAB_TARGET_ADDR" "$target_name" "$LAB_HOP1" "$hop1_name" "$LAB_HOP2" "$hosts_hop2" \
    "$LAB_HOP3" "$hop3_name" "$LAB_HOP4" "$hop4_name" >>"/etc/netns/$LAB_CLIENT/hosts"
check_run "names from the hosts file" ecache-hostile-hosts lab_exec "$TARNHOP" -i 1 -w 1000 "$LAB_TARGET_ADDR"
# The target's name from the hosts file, shown safe, and one reply.
check_run "names from the hosts file, ping" ecache-ping-hostile-name lab_exec "$TARNHOP" -o -i 1 -w 1000 "$LAB_TARGET_ADDR"

# ---- 3. The cache file -----------------------------------------------------------------
# Every byte from 1 to 255: a name of 255 bytes.
# shellcheck disable=SC2059 # the format is the bytes as octal escapes
printf -v all_bytes "$(printf '\\%03o' {1..255})"
e2e_copy_program "$LAB_DIR/cached"
# The cache's names are any bytes but zero: hop 2's is the one above, hop 4's all bytes.
cache_record "$LAB_TARGET_ADDR" "$target_name" "$LAB_HOP1" "$hop1_name" "$LAB_HOP2" "$hop2_name" \
    "$LAB_HOP3" "$hop3_name" "$LAB_HOP4" "$all_bytes" >"$LAB_DIR/cached.bytes"
cp "$LAB_DIR/cached.bytes" "$LAB_DIR/cached/tarnhop.cache"
check_run "names from the cache file" ecache-hostile-cache lab_exec "$program" -c -i 1 -w 1000 "$LAB_TARGET_ADDR"
# Shown as '?', but the names' bytes stay in the file as they were.
expect_file "control bytes in a name: kept in the file" "$LAB_DIR/cached.bytes" "$LAB_DIR/cached/tarnhop.cache"
check_run "names from the cache file, UDP" ecache-hostile-cache \
    lab_exec "$program" -c -u -i 1 -w 1000 "$LAB_TARGET_ADDR"

e2e_finish
