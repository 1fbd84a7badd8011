#!/usr/bin/env bash
# End-to-end faults around the cache file (-c), each run in the network lab's client (its
# probes, none with -t 0, and lookups cannot leave the lab):
# - a run killed with SIGKILL at random moments, most of them while it writes a 100 MiB
#   cache file, leaves the old file or the new one whole, never a mix;
# - a full disk (a tiny tmpfs mounted in a mount namespace of the test's own) during the
#   save leaves the old file byte for byte and no temporary file;
# - a cache file that cannot be read is an empty cache; one that cannot be written, or
#   whose folder cannot be written, is silently not saved: same output, status 0,
#   nothing on stderr, the old file unchanged (a folder in the file's place is the unit
#   tests' HostCacheSaveTest.MissingFolderOrFolderInTheWayFails);
# - a later whole run leaves nothing of the killed saves beside the cache file;
# - 8 runs at once, each learning another address, lose no record;
# - a pipe, a device or a link to one, or a link to nothing, in the file's place is not
#   read, not waited for and left as it is;
# - a file the folder cannot hold a new file beside (nobody) is written in place, root's;
# - 200 MiB of zero bytes load and save in bounded memory; without the memory for them
#   the run goes on without the cache, silently;
# - closed standard descriptors get the null device, never the program's own files or
#   sockets.
set -u

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=cache_lib.sh
source "$E2E_DIR/cache_lib.sh"
bg_pid=""
# Ends the background run (bg_pid) when it is still the program, and waits for it.
stop_bg() {
    ! lab_running "$bg_pid" tarnhop || kill -KILL "$bg_pid" 2>/dev/null
    [ -z "$bg_pid" ] || wait "$bg_pid" 2>/dev/null
    bg_pid=""
}
# A run in the background goes when the lab goes, whenever that is.
e2e_on_lab_down() { stop_bg; }
e2e_lab
# Runs as nobody open their ICMP socket as a ping socket.
lab_ping_sockets open
# The program copies' folders (lab_down removes them).
work=$LAB_DIR/work
mkdir -m 755 "$work"

# program_in NAME [HEX [OWNER [MODE]]]: a program copy in $work/NAME, a folder of its own
# (set as dir): its cache file is $dir/tarnhop.cache. With HEX that file holds those
# bytes; with OWNER the folder and all in it are OWNER's; with MODE the file has it.
program_in() {
    dir=$work/$1
    e2e_copy_program "$dir"
    [ -z "${2:-}" ] || xxd -r -p <<<"$2" >"$dir/tarnhop.cache"
    [ -z "${3:-}" ] || chown -R "$3" "$dir"
    [ -z "${4:-}" ] || chmod "$4" "$dir/tarnhop.cache"
}

# ---- SIGKILL during the save ---------------------------------------------------------
program_in kill
kill_dir=$dir
# 256 records of 200-byte names, repeated: 100 MiB in all, far from 127.0.0.1.
name=$(printf 'x%.0s' {1..200})
for ((i = 0; i < 256; i++)); do
    cache_record "10.0.0.$i" "$name"
done >"$work/block"
cp "$work/block" "$work/old.cache"
for ((i = 0; i < 11; i++)); do
    cat "$work/old.cache" "$work/old.cache" >"$work/double" && mv "$work/double" "$work/old.cache"
done

# sleep_ms FROM TO: sleeps a random number of milliseconds from FROM to TO.
sleep_ms() {
    local ms=$(($1 + (RANDOM * 32768 + RANDOM) % ($2 - $1 + 1)))
    sleep "$((ms / 1000)).$(printf '%03d' $((ms % 1000)))"
}

# Starts the program in the background on the old file (pid in bg_pid, start in
# bg_start).
start_run() {
    rm -f -- "$kill_dir"/tarnhop.cache.??????
    cp "$work/old.cache" "$kill_dir/tarnhop.cache"
    bg_start=${EPOCHREALTIME/./} # microseconds since the epoch, without a fork
    ip netns exec "$LAB_CLIENT" "$kill_dir/tarnhop" -c -t 0 127.0.0.1 >"$work/run.out" 2>"$work/run.err" &
    bg_pid=$!
    await_program
}

# Spins until the background process is the program (ip has executed it) or is gone.
await_program() {
    until [ "$(cat "/proc/$bg_pid/comm" 2>/dev/null)" = tarnhop ] || ! kill -0 "$bg_pid" 2>/dev/null; do
        :
    done
}

# Spins until the save's temporary file exists (true) or the run is over (false).
await_temporary() {
    while lab_running "$bg_pid" tarnhop; do
        compgen -G "$kill_dir/tarnhop.cache.??????" >/dev/null && return 0
    done
    return 1
}

# An uninterrupted run, watched: when its temporary file appears and goes, and its end.
# The new file is the old one and 127.0.0.1's record after it.
# Watched twice: a save can take much less time than the first one did (the old file in
# the page cache, a machine less busy), and the kills aimed into it below use the shorter.
shortest_save_ms=-1
for watch in 1 2; do
    start_run
    save_from_ms=-1
    save_to_ms=-1
    while lab_running "$bg_pid" tarnhop; do
        if compgen -G "$kill_dir/tarnhop.cache.??????" >/dev/null; then
            t=$(((${EPOCHREALTIME/./} - bg_start) / 1000))
            ((save_from_ms >= 0)) || save_from_ms=$t
            save_to_ms=$t
        fi
    done
    wait "$bg_pid"
    st=$?
    bg_pid=""
    whole_ms=$(((${EPOCHREALTIME/./} - bg_start) / 1000))
    ((shortest_save_ms >= 0 && shortest_save_ms <= save_to_ms - save_from_ms)) ||
        shortest_save_ms=$((save_to_ms - save_from_ms))
done
expect_status "whole run: status" 0 "$st"
expect_eq "whole run: nothing on stderr" "" "$(cat "$work/run.err")"
exactly banner_with_localhost cat "$work/run.out"
cp "$kill_dir/tarnhop.cache" "$work/new.cache"
old_size=$(stat -c %s "$work/old.cache")
new_size=$(stat -c %s "$work/new.cache")
cmp -s -n "$old_size" "$work/old.cache" "$work/new.cache" && ((new_size > old_size)) &&
    [ "$(tail -c +$((old_size + 1)) "$work/new.cache" | head -c 4 | xxd -p)" = 7f000001 ]
expect_true "whole run: the new file is the old one followed by 127.0.0.1's record" $? \
    "old $old_size bytes, new $new_size bytes"
printf '    (a whole run with a %d-byte cache file: %d ms; temporary file seen from %d to %d ms; shortest save %d ms)\n' \
    "$old_size" "$whole_ms" "$save_from_ms" "$save_to_ms" "$shortest_save_ms"

# Each attempt starts from the old file and kills the run: four at a random moment from
# a little before the save to the end (from the start when no save was seen), six at a
# random moment in the first third of the time the save took, after its temporary file
# appeared.
((save_from_ms >= 0)) && window_from=$((save_from_ms * 8 / 10)) || window_from=0
save_ms=$((shortest_save_ms > 0 ? shortest_save_ms : 1))
mid_save=0
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    start_run
    if ((attempt <= 4)); then
        sleep_ms "$window_from" "$whole_ms"
    elif await_temporary; then
        sleep_ms 0 $((save_ms / 3))
    fi
    stop_bg
    when="$(((${EPOCHREALTIME/./} - bg_start) / 1000)) ms"
    if compgen -G "$kill_dir/tarnhop.cache.??????" >/dev/null; then
        mid_save=$((mid_save + 1))
        when+=", mid-save"
    fi
    if cmp -s "$kill_dir/tarnhop.cache" "$work/old.cache"; then
        e2e_pass "kill $attempt ($when): the old file, whole"
    elif cmp -s "$kill_dir/tarnhop.cache" "$work/new.cache"; then
        e2e_pass "kill $attempt ($when): the new file, whole"
    else
        e2e_fail "kill $attempt ($when): the file is neither the old nor the new one" \
            "$(stat -c '%s bytes' "$kill_dir/tarnhop.cache")"
    fi
done
# A later whole run cleans up after the killed saves: only the cache file stays.
e2e_run out err st lab_exec "$kill_dir/tarnhop" -c -t 0 127.0.0.1
expect_status "whole run after the kills: status" 0 "$st"
expect_eq "whole run after the kills: only the cache file beside the program" \
    "tarnhop tarnhop.cache" "$(ls -A "$kill_dir" | paste -sd " ")"
rm -f -- "$kill_dir"/tarnhop.cache.?????? "$work/old.cache" "$work/new.cache"
((mid_save >= 3))
expect_true "$mid_save of 10 kills came while the save was writing its temporary file (at least 3 wanted)" $?

# ---- Full disk -------------------------------------------------------------------------
full_dir=$work/full
mkdir -p "$full_dir"
# 1 MiB of records without 127.0.0.1: the run adds its record, which a save must write.
for ((i = 0; i < 20; i++)); do
    cat "$work/block"
done >"$work/old.cache"
binary_kib=$((($(stat -c %s "$TARNHOP") + 4095) / 4096 * 4))
cache_kib=$((($(stat -c %s "$work/old.cache") + 4095) / 4096 * 4))
# Room for the program, the old file and 64 KiB: the new file cannot be written whole.
cat >"$work/full.sh" <<'EOF'
set -u
mount -t tmpfs -o "size=$((BINARY_KIB + CACHE_KIB + 64))k,mode=755" tarnhop-full "$FULL_DIR" || exit 3
cp "$TARNHOP" "$FULL_DIR/tarnhop" && cp "$OLD" "$FULL_DIR/tarnhop.cache" || exit 4
df --output=used -k "$FULL_DIR" | tail -n 1 >"$WORK/full.df"
"$FULL_DIR/tarnhop" -c -t 0 127.0.0.1 >"$WORK/full.out" 2>"$WORK/full.err"
echo "$?" >"$WORK/full.status"
df --output=used -k "$FULL_DIR" | tail -n 1 >>"$WORK/full.df"
cmp -s "$FULL_DIR/tarnhop.cache" "$OLD" && echo same >"$WORK/full.same"
ls -A "$FULL_DIR" >"$WORK/full.listing"
umount "$FULL_DIR"
EOF
e2e_run out err st lab_exec env TARNHOP="$TARNHOP" FULL_DIR="$full_dir" OLD="$work/old.cache" \
    WORK="$work" BINARY_KIB="$binary_kib" CACHE_KIB="$cache_kib" \
    unshare --mount --propagation private bash "$work/full.sh"
expect_status "full disk: the tmpfs was mounted and filled" 0 "$st"
exactly full_out cat "$work/full.out"
expect_eq "full disk: output" "$banner_with_localhost" "$full_out"
expect_eq "full disk: status 0" 0 "$(cat "$work/full.status" 2>/dev/null)"
expect_eq "full disk: nothing on stderr" "" "$(cat "$work/full.err" 2>/dev/null)"
expect_eq "full disk: the old file byte for byte" same "$(cat "$work/full.same" 2>/dev/null)"
expect_eq "full disk: no temporary file left" $'tarnhop\ntarnhop.cache' "$(cat "$work/full.listing" 2>/dev/null)"
{ read -r used_before && read -r used_after; } <"$work/full.df" 2>/dev/null
expect_eq "full disk: space used after the run as before it" "${used_before:-?}" "${used_after:-!}"
mountpoint -q "$full_dir" && e2e_fail "full disk: the tmpfs is still mounted outside"

# ---- Files that cannot be read or written ----------------------------------------------
# The cache holds a name for 127.0.0.1 that no resolver gives: seen in the banner only
# when the file was read.
cached_hex=$(cache_record 127.0.0.1 from-the-cache | cache_hex)
banner_cached=$'\nTracing route to from-the-cache [127.0.0.1] with TTL of 0:\n\n'
other_hex=$(cache_record 10.0.0.1 other | cache_hex)

# perm_case TITLE WANT_FILE [WANT_OUT]: a run of the program in $dir as nobody; its
# output WANT_OUT, the resolver's banner without it.
perm_case() {
    local title=$1 want_file=$2 want_out=${3:-$banner_with_localhost}
    expect_clean_run "$title" "$want_out" lab_exec_nobody "$dir/tarnhop" -c -t 0 127.0.0.1
    [ -z "$want_file" ] ||
        expect_eq "$title: the file afterwards" "$want_file" "$(cache_hex "$dir/tarnhop.cache")"
    expect_eq "$title: no temporary file left" "" "$(compgen -G "$dir/tarnhop.cache.??????")"
}

# The resolver's answer for 127.0.0.1 in the namespace, as the banner shows it (no name:
# a record without one).
local_name=$(printf '%s' "$banner_with_localhost" | sed -n 's/^Tracing route to \(.*\) \[127\.0\.0\.1\].*/\1/p')
resolver_hex=$(cache_record 127.0.0.1 "$local_name" | cache_hex)
[ -n "$local_name" ] || banner_with_localhost=$'\nTracing route to 127.0.0.1 with TTL of 0:\n\n'

program_in unreadable "$cached_hex" nobody 200
perm_case "unreadable file (nobody, mode 200)" "$resolver_hex"
expect_eq "unreadable file: keeps its mode" 200 "$(stat -c %a "$dir/tarnhop.cache")"

program_in readonly "$other_hex" nobody 444
perm_case "read-only file (nobody, mode 444)" "$other_hex"

program_in lockedfolder "$other_hex" "" 666
perm_case "folder nobody may not write (root's file, mode 666)" "$other_hex$resolver_hex"
expect_eq "folder nobody may not write: the file is still root's" 0 "$(stat -c %u "$dir/tarnhop.cache")"

program_in nofile
perm_case "no cache file, folder nobody may not write" ""
expect_eq "no cache file: none made" "" "$(compgen -G "$dir/tarnhop.cache*")"

program_in readable "$cached_hex" nobody
perm_case "readable file (the same run reads it)" "$cached_hex" "$banner_cached"

# ---- Runs at once ----------------------------------------------------------------------
# 8 runs start together on a 1 MiB file, each looking up an address of its own; every
# record of the file and all 8 new ones must be there afterwards, the new ones after the
# old ones.
program_in together
cp "$work/old.cache" "$dir/tarnhop.cache"
pids=()
for i in 1 2 3 4 5 6 7 8; do
    lab_exec "$dir/tarnhop" -c -t 0 "198.18.7.$i" >"$work/together.$i.out" 2>&1 &
    pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
    wait "$pid" || failed=$((failed + 1))
done
expect_eq "8 runs at once: all end with status 0" 0 "$failed"
old_size=$(stat -c %s "$work/old.cache")
cmp -s -n "$old_size" "$work/old.cache" "$dir/tarnhop.cache"
expect_true "8 runs at once: the old records kept, first, in order" $?
expect_eq "8 runs at once: one record for each run's address" \
    "c612070100 c612070200 c612070300 c612070400 c612070500 c612070600 c612070700 c612070800" \
    "$(tail -c +$((old_size + 1)) "$dir/tarnhop.cache" | xxd -p -c 5 | sort | xargs)"
expect_eq "8 runs at once: only the cache file beside the program" "tarnhop tarnhop.cache" \
    "$(ls -A "$dir" | paste -sd " ")"

# ---- Things that are not a regular file ------------------------------------------------
# Device nodes of the test's own (the null and zero devices), so that nothing of the
# system's is at stake.
other_case() {
    local title=$1 dir=$2 want_kind=$3
    expect_clean_run "$title" "$banner_with_localhost" lab_exec "$dir/tarnhop" -c -t 0 127.0.0.1
    expect_eq "$title: left as it was" "$want_kind" "$(stat -c %F "$dir/tarnhop.cache" 2>&1)"
    expect_eq "$title: nothing beside it" "" "$(compgen -G "$dir/tarnhop.cache.*")"
}

program_in fifo
mkfifo "$dir/tarnhop.cache"
other_case "a pipe" "$dir" fifo

# Device nodes of the test's own, the system's left alone: zero (1,5) and null (1,3).
for device in "zero 5" "null 3"; do
    read -r node minor <<<"$device"
    program_in "$node"
    mknod "$dir/$node" c 1 "$minor"
    ln -s "$node" "$dir/tarnhop.cache"
    other_case "a link to a $node device" "$dir" "symbolic link"
    expect_eq "a link to a $node device: the device kept" "character special file" \
        "$(stat -c %F "$dir/$node")"
done

program_in dangling
ln -s missing "$dir/tarnhop.cache"
other_case "a link to nothing" "$dir" "symbolic link"

# ---- Memory ----------------------------------------------------------------------------
# 200 MiB of zero bytes are 41,943,040 records for one address (0.0.0.0, no name). With
# address space for little more than twice the file, the run loads it and saves it
# back with 127.0.0.1's record after it; with address space for less than the file, it
# goes on without the cache and leaves the file alone.
# (An AddressSanitizer build reserves terabytes of address space: it has no such limit.)
if grep -q -a __asan_init "$TARNHOP"; then
    printf '    (AddressSanitizer build: memory limits not tried)\n'
else
    program_in "zeros"
    zeros=$((200 * 1024 * 1024))
    truncate -s "$zeros" "$dir/tarnhop.cache"
    expect_clean_run "200 MiB of zeros, room for 2.2 times the file" "$banner_with_localhost" \
        lab_exec bash -c 'ulimit -v $((440 * 1024 + 65536)) && exec "$0" -c -t 0 127.0.0.1' "$dir/tarnhop"
    expect_eq "200 MiB of zeros: saved back, 127.0.0.1's record after them" \
        "$((zeros + ${#resolver_hex} / 2)) $resolver_hex" \
        "$(stat -c %s "$dir/tarnhop.cache") $(tail -c $((${#resolver_hex} / 2)) "$dir/tarnhop.cache" | cache_hex)"
    truncate -s "$zeros" "$dir/tarnhop.cache"
    expect_clean_run "200 MiB of zeros, room for less" "$banner_with_localhost" \
        lab_exec bash -c 'ulimit -v $((150 * 1024)) && exec "$0" -c -t 0 127.0.0.1' "$dir/tarnhop"
    expect_eq "200 MiB of zeros, room for less: the file left alone" "$zeros" "$(stat -c %s "$dir/tarnhop.cache")"
    rm -f -- "$dir/tarnhop.cache"
fi

# ---- Closed standard descriptors -------------------------------------------------------
# With input and error closed the output is whole; with all three closed, they are the
# null device while the ICMP socket is open (pass 1 over, the run waits before pass 2).
program_in closed
lab_exec "$dir/tarnhop" -c -t 0 127.0.0.1 <&- 2>&- >"$work/closed.out"
expect_status "input and error closed: status" 0 "$?"
expect_eq "input and error closed: output" "${banner_with_localhost}x" "$(cat "$work/closed.out" && printf x)"
expect_eq "input and error closed: the cache saved" "$resolver_hex" "$(cache_hex "$dir/tarnhop.cache")"
ip netns exec "$LAB_CLIENT" "$dir/tarnhop" -t 2 -w 100 -p 5000 127.0.0.1 <&- >&- 2>&- &
bg_pid=$!
await_program
socket_seen=""
while lab_running "$bg_pid" tarnhop; do
    if [ -n "$(find "/proc/$bg_pid/fd" -lname 'socket:*' 2>/dev/null)" ]; then
        socket_seen=yes
        break
    fi
done
standard=$(for fd in 0 1 2; do readlink "/proc/$bg_pid/fd/$fd"; done | xargs)
stop_bg
expect_eq "all three closed: the socket was opened" yes "$socket_seen"
expect_eq "all three closed: they are the null device" "/dev/null /dev/null /dev/null" "$standard"

e2e_finish
