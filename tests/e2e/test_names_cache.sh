#!/usr/bin/env bash
# End-to-end: the host-name cache file (-c) against the lab's DNS server. The file sits
# beside the executable, so the program is copied into a folder of the lab's own. Which
# reverse lookups reached the DNS server is read from its query log: a second run sends
# no query for a cached address, remembers "no name" answers too, and without -c asks
# again every time. Also: the file's exact bytes, a cut record dropped, -c -d, no save
# after an error, a save by nobody in a folder of its own, and a program replaced while
# it runs. (Which record wins, the file's path and how a name is shown are the unit
# tests' and test_hostile_names.sh's; a save nobody cannot make is test_faults_cache.sh's.)
set -u
export LC_ALL=C

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
e2e_lab
bin=$LAB_DIR/bin
cache=$bin/tarnhop.cache

# shellcheck source=cache_lib.sh
source "$E2E_DIR/cache_lib.sh"

# run ARGS...: dns_run as root; for_ptr counts the reverse queries of the target.
run() { dns_run lab_exec "$@"; }

# seed [ADDRESS NAME]...: the cache file and $expected hold those records.
seed() {
    cache_record "$@" >"$expected"
    cp "$expected" "$cache"
}

expected=$LAB_DIR/expected.bytes

# --- A whole trace, the first run in a fresh lab: every hop's name is asked once, then
# never again, also for the hop that has no name.
expect_eq "no cache file before the first run" "absent" "$([ -e "$cache" ] && echo present || echo absent)"
exactly trace lab_trace_text
run -c -n 0 "$LAB_TARGET_NAME"
mask_times_into masked "$out"
expect_eq "trace with -c: output" "$trace" "$masked"
expect_status "trace with -c: status" 0 "$status"
# The banner asked for the target's name; its hop line found it in the cache. Nothing
# asked for these addresses before: the log's counts are this run's.
reverse_queries=$(for a in "$LAB_TARGET_ADDR" "$LAB_HOP1" "$LAB_HOP2" "$LAB_HOP3" "$LAB_HOP4"; do
    lab_dns_queries "$a"
done | xargs)
expect_eq "trace with -c: one query per address" "5 1 1 1 1 1" "$ptr $reverse_queries"
cache_record "$LAB_TARGET_ADDR" "$LAB_TARGET_NAME" "$LAB_HOP1" "$LAB_HOP1_NAME" \
    "$LAB_HOP2" "$LAB_HOP2_NAME" "$LAB_HOP3" "" "$LAB_HOP4" "$LAB_HOP4_NAME" >"$expected"
expect_file "trace with -c: the file holds every answer in the order asked" "$expected" "$cache"
run -c -n 0 "$LAB_TARGET_NAME"
mask_times_into masked "$out"
expect_eq "trace with -c, second run: same output" "$trace" "$masked"
expect_status "trace with -c, second run: status" 0 "$status"
expect_eq "trace with -c, second run: no reverse query" 0 "$ptr"
expect_file "trace with -c, second run: nothing added" "$expected" "$cache"
# Without -c the target is asked twice: for the banner and for its hop line.
run -i 1 -w 1000 -n 0 "$LAB_TARGET_NAME"
expect_eq "trace without -c: every answer asked again" "6 2" "$ptr $for_ptr"

# --- -c -d without a cache file: no lookups, and an empty file at the end.
rm -f "$cache"
run -c -d -t 0 "$LAB_TARGET_ADDR"
expect_status "-c -d, no file: status" 0 "$status"
[ -f "$cache" ] && [ ! -s "$cache" ]
expect_true "-c -d, no file: an empty cache file beside the program" $? "$(ls -la "$bin")"
expect_eq "-c -d, no file: no reverse query" 0 "$ptr"

# --- A name learned in one run is not asked for in the next.
run -c -t 0 "$LAB_TARGET_ADDR"
want_banner "Tracing route to" "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" "TTL of 0"
expect_eq "first run: banner with the name" "$want" "$out"
expect_eq "first run: the target's name asked" 1 "$for_ptr"
cache_record "$LAB_TARGET_ADDR" "$LAB_TARGET_NAME" >"$expected"
expect_file "first run: the file holds the answer" "$expected" "$cache"
run -c -t 0 "$LAB_TARGET_ADDR"
expect_eq "second run: the same banner" "$want" "$out"
expect_eq "second run: no reverse query" 0 "$ptr"
expect_file "second run: nothing added" "$expected" "$cache"

# --- "No name" is remembered as well.
run -c -t 0 "$LAB_HOP3"
want_banner "Tracing route to" "" "$LAB_HOP3" "TTL of 0"
expect_eq "no PTR, first run: bare banner" "$want" "$out"
expect_eq "no PTR, first run: asked" 1 "$ptr"
cache_record "$LAB_HOP3" "" >>"$expected"
expect_file "no PTR, first run: a record with N = 0 after the first" "$expected" "$cache"
run -c -t 0 "$LAB_HOP3"
expect_eq "no PTR, second run: bare banner" "$want" "$out"
expect_eq "no PTR, second run: not asked again" 0 "$ptr"

# --- Without -c the file is neither read nor written: every run asks.
for n in 1 2; do
    run -t 0 "$LAB_TARGET_ADDR"
    expect_eq "without -c, run $n: asked again" 1 "$for_ptr"
done
expect_file "without -c: file untouched" "$expected" "$cache"

# --- A record cut at the end of the file is dropped; -c -d writes the rest back as it
# was, in a new file.
seed "$LAB_HOP1" r1.lab "$LAB_TARGET_ADDR" "" "$LAB_HOP2" r2.lab
cache_record "$LAB_HOP4" r4.lab | head -c 8 >>"$cache"
inode=$(stat -c %i "$cache")
run -c -d -t 0 "$LAB_TARGET_ADDR"
expect_file "cut record: dropped, the rest kept in order" "$expected" "$cache"
expect_eq "-c -d: no reverse query" 0 "$ptr"
[ "$(stat -c %i "$cache")" != "$inode" ]
expect_true "-c -d: the file was replaced by a new one" $?

# --- A run that ends with an error does not write the file.
cp "$expected" "$cache"
inode=$(stat -c %i "$cache")
run -c "$LAB_NXNAME"
expect_status "unresolvable with -c: status" 1 "$status"
expect_eq "unresolvable with -c: same inode, same bytes" "$inode" "$(stat -c %i "$cache")"
expect_file "unresolvable with -c: file untouched" "$expected" "$cache"

# --- Run as nobody, given the folder, a save of root's file that all may write is made
# by a replace.
lab_ping_sockets open
seed "$LAB_HOP1" r1.lab
chmod 666 "$cache"
chown nobody "$bin"
dns_run lab_exec_nobody -c -t 0 "$LAB_TARGET_ADDR"
cache_record "$LAB_TARGET_ADDR" "$LAB_TARGET_NAME" >>"$expected"
expect_file "folder writable: the answer is added" "$expected" "$cache"
chown root "$bin"
lab_ping_sockets closed

# --- The program replaced while it runs (an upgrade): the file still goes beside it.
seed "$LAB_HOP1" r1.lab
lab_bg client "$program" -c -o -i 8 -n 300 -w 1000 "$LAB_TARGET_ADDR" >"$LAB_DIR/bg.out"
running=$LAB_BG_PID
lab_await "$running" grep -q Pinging "$LAB_DIR/bg.out"
cp "$TARNHOP" "$bin/tarnhop.new"
mv "$bin/tarnhop.new" "$program"
wait "$running"
expect_status "replaced while running: status" 0 "$?"
lab_bg_stop "$running"
cache_record "$LAB_TARGET_ADDR" "$LAB_TARGET_NAME" >>"$expected"
expect_file "replaced while running: the answer is saved beside it" "$expected" "$cache"
expect_eq "replaced while running: no other file" "tarnhop tarnhop.cache" "$(ls "$bin" | xargs)"

e2e_finish
