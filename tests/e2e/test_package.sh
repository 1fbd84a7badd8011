#!/usr/bin/env bash
# The Debian package end to end: build it with cpack, check its control fields and
# file list, unpack it into a throwaway root (dpkg -x, nothing is installed on this
# machine), check the manual page and the completion it carries, and run the unpacked
# tool in the lab as user nobody: trace and ping with ping sockets allowed, the cache
# file of a system-wide install, UDP without privileges, and the refusal without them.
#
# Reuses TARNHOP_BUILD_DIR when it is an ordinary build (no sanitizer, no fuzzing);
# otherwise builds the program alone in a temporary folder.
set -u

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=cache_lib.sh
source "$E2E_DIR/cache_lib.sh"
source_dir=${TARNHOP_SOURCE_DIR:-$(cd "$E2E_DIR/../.." && pwd)}

# Missing tools skip the test, except in CI, where that is a failure (as for the lab).
need_tools "cmake dpkg-dev mandoc man-db binutils" cmake cpack dpkg dpkg-deb dpkg-shlibdeps \
    mandoc man readelf gzip

work=$(mktemp -d "/tmp/tarnhop-package.XXXXXX") || exit 1
cleanup_work() { rm -rf -- "$work"; }
trap cleanup_work EXIT
# User nobody runs the unpacked tool from here.
chmod 755 "$work"

# ---- Build the package -------------------------------------------------------------

build=${TARNHOP_BUILD_DIR:-}
if [ -z "$build" ] || [ ! -f "$build/CPackConfig.cmake" ] ||
    grep -qE '^TARNHOP_(SANITIZE|FUZZ):[A-Z]*=ON$' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "building the program alone in $work/build"
    build=$work/build
    if ! cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNHOP_TESTS=OFF \
        >"$work/build.log" 2>&1 || ! cmake --build "$build" -j2 >>"$work/build.log" 2>&1; then
        tail -n 30 "$work/build.log"
        e2e_fail "build for the package"
        e2e_finish
    fi
fi

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") \
    >"$work/cpack.log" 2>&1
debs=("$work"/out/*.deb)
if [ ! -f "${debs[0]}" ] || [ "${#debs[@]}" != 1 ]; then
    tail -n 30 "$work/cpack.log"
    e2e_fail "cpack -G DEB makes one package"
    e2e_finish
fi
deb=${debs[0]}
e2e_pass "cpack -G DEB makes one package"

# ---- Control fields ----------------------------------------------------------------

version=$(sed -n 's/^project(tarnhop VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)
field() { dpkg-deb -f "$deb" "$1"; }

expect_eq "file name" "tarnhop_${version}_$arch.deb" "$(basename "$deb")"
for pair in Package=tarnhop "Version=$version" "Architecture=$arch" Section=net \
    "Maintainer=tarnhop developers"; do
    expect_eq "${pair%%=*}" "${pair#*=}" "$(field "${pair%%=*}")"
done
expect_match "Depends is the C library alone" "$(field Depends)" '^libc6( \(>= [0-9][0-9.]*\))?$'
for other in Pre-Depends Recommends Conflicts Breaks Replaces Provides; do
    expect_eq "no $other" "" "$(field "$other")"
done
expect_match "Description has a summary" "$(field Description | head -n 1)" '^trace the route'

# No maintainer scripts: nothing sets a capability or a setuid bit at install time.
control_files=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort)
expect_eq "control archive holds control and md5sums only" $'control\nmd5sums' "$control_files"

# ---- Files -------------------------------------------------------------------------

listing=$(dpkg-deb -c "$deb")
expect_eq "file list" "./usr/bin/tarnhop
./usr/share/bash-completion/completions/tarnhop
./usr/share/man/man1/tarnhop.1.gz" "$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort)"
expect_eq "every entry owned by root/root" "root/root" "$(awk '{ print $2 }' <<<"$listing" | sort -u)"
expect_no_match "no setuid or setgid bit" "$listing" '^...[sS]|^......[sS]'
expect_match "the binary is rwxr-xr-x" "$listing" '^-rwxr-xr-x .* \./usr/bin/tarnhop$'
expect_match "the manual page is rw-r--r--" "$listing" \
    '^-rw-r--r-- .* \./usr/share/man/man1/tarnhop\.1\.gz$'
expect_match "the completion is rw-r--r--" "$listing" \
    '^-rw-r--r-- .* \./usr/share/bash-completion/completions/tarnhop$'
expect_eq "directory modes" "drwxr-xr-x" "$(awk '$1 ~ /^d/ { print $1 }' <<<"$listing" | sort -u)"

root=$work/root
dpkg -x "$deb" "$root"
chmod 755 "$root"
expect_eq "md5sums match the unpacked files" "" \
    "$(cd "$root" && dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./md5sums | md5sum -c --quiet 2>&1)"

tool=$root/usr/bin/tarnhop
# The libraries it needs: readelf's "(NEEDED)" lines.
expect_no_match "the binary needs no C++ runtime library" "$(readelf -d "$tool" | grep -F '(NEEDED)')" \
    'libstdc\+\+|libgcc_s'
expect_no_match "the binary carries no debugging symbols" "$(readelf -S "$tool")" '\.debug_info'

e2e_run out err status "$tool"
expect_status "the unpacked tool runs: usage, status 1" 1 "$status"
expect_contains "the unpacked tool prints its usage" "$out" "Usage: tarnhop [options] target_name"

# ---- Manual page -------------------------------------------------------------------

page=$root/usr/share/man/man1/tarnhop.1.gz
expect_eq "manual page is the repository's, gzip -9n" "" \
    "$(gzip -dc "$page" | cmp - "$source_dir/man/tarnhop.1" 2>&1)"
expect_eq "manual page carries no name or time in its gzip header" \
    "$(gzip -9nc "$source_dir/man/tarnhop.1" | md5sum)" "$(md5sum <"$page")"
e2e_run out err status mandoc -T lint -W warning "$page"
expect_eq "mandoc -T lint: no warnings" "" "$out$err"
expect_status "mandoc -T lint: status 0" 0 "$status"
e2e_run out err status env LC_ALL=C.UTF-8 MANWIDTH=80 MAN_DISABLE_SECCOMP=1 man --warnings -l "$page"
expect_eq "man --warnings: no warnings" "" "$err"
rendered=$out
for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT FILES "EXIT STATUS" PRIVILEGES \
    EXAMPLES "SEE ALSO"; do
    expect_match "manual section $section" "$rendered" "^$section\$"
done

# Every option of the usage text has its entry in the manual, and no other one does.
usage_letters=$("$tool" | sed -n 's/^\t-\([a-z]\) .*/\1/p' | sort | tr -d '\n')
page_letters=$(gzip -dc "$page" | sed -n '/^\.Sh OPTIONS/,/^\.Sh /s/^\.It Fl \([a-z]\).*/\1/p' |
    sort | tr -d '\n')
expect_eq "the usage text has eleven options" cdilnoptuvw "$usage_letters"
expect_eq "the manual's OPTIONS are the usage text's" "$usage_letters" "$page_letters"
flat=$(printf '%s' "$rendered" | tr -s ' \n' '  ')
for default in "by default 32" "by default 0" "by default 10" "by default 1500" "by default 3"; do
    expect_contains "manual states the default ($default)" "$flat" "$default"
done
expect_contains "manual names the installed cache file" "$flat" "/usr/bin/tarnhop.cache"
expect_contains "manual explains ping sockets" "$flat" "net.ipv4.ping_group_range"
expect_contains "manual explains the capability" "$flat" "setcap cap_net_raw+ep /usr/bin/tarnhop"

# ---- Completion --------------------------------------------------------------------

# The same bytes: what they offer is test_completion.sh's (its bare bash loads the file
# alone, as here), the eleven options after "tarnhop -" among them.
expect_eq "completion is the repository's" "" \
    "$(cmp "$root/usr/share/bash-completion/completions/tarnhop" "$source_dir/completion/tarnhop" 2>&1)"

# ---- The unpacked tool in the lab, as user nobody -----------------------------------

# lab_up replaces the EXIT trap and may end the script itself (lab unavailable, setup
# failed): the work folder goes whenever the lab goes.
e2e_on_lab_down() { cleanup_work; }
# The lab's copy of the program is the unpacked tool's.
TARNHOP=$tool e2e_lab
lab_ping_sockets open

quick=(-i 1 -n 0 -w 1000)
e2e_expected want trace-named-1
expect_masked_run "nobody traces by name" "$want" lab_exec_nobody "$tool" "${quick[@]}" "$LAB_TARGET_NAME"

e2e_expected want ping-two
expect_masked_run "nobody pings" "$want" lab_exec_nobody "$tool" -o -i 2 -n 0 -w 1000 -d "$LAB_TARGET_ADDR"

# The cache file of a system-wide install lies in a folder that only root may write:
# -c reads it and silently saves nothing. (Without the file, none appears: that run is
# test_faults_cache.sh's "no cache file, folder nobody may not write".) A cache written
# by root: one record naming the target "cached.example".
cache_file=$root/usr/bin/tarnhop.cache
name=cached.example
cache_record "$LAB_TARGET_ADDR" "$name" >"$cache_file"
chmod 644 "$cache_file"
before=$(md5sum <"$cache_file")
queries_before=$(lab_dns_queries "$LAB_TARGET_ADDR")
e2e_run out err status lab_exec_nobody "$tool" -c -o -i 1 -n 0 -w 1000 "$LAB_TARGET_ADDR"
expect_status "nobody reads root's cache: status 0" 0 "$status"
expect_contains "nobody reads root's cache: the banner shows its name" "$out" \
    "Pinging $name [$LAB_TARGET_ADDR] with data size of 32:"
expect_eq "nobody reads root's cache: the target's name is not asked of DNS" \
    "$queries_before" "$(lab_dns_queries "$LAB_TARGET_ADDR")"
expect_eq "nobody reads root's cache: the file is unchanged" "$before" "$(md5sum <"$cache_file")"
expect_eq "nobody reads root's cache: no other file in usr/bin" \
    $'tarnhop\ntarnhop.cache' "$(ls -A "$root/usr/bin")"
rm -f -- "$cache_file"

# Without ping sockets and without raw sockets: UDP still works, ICMP says why not.
lab_ping_sockets closed
e2e_expected want trace-numeric-1
expect_masked_run "nobody traces with UDP, no privileges" "$want" lab_exec_nobody "$tool" -u "${quick[@]}" -d "$LAB_TARGET_ADDR"

e2e_run out err status lab_exec_nobody "$tool" "${quick[@]}" -d "$LAB_TARGET_ADDR"
expect_status "nobody, ICMP without ping or raw sockets: status 1" 1 "$status"
expect_match "nobody, ICMP without ping or raw sockets: the message" "$out" \
    '^IcmpCreateFile\(\) failed, err: '

# With cap_net_raw on the binary, as the manual says, ICMP works without ping sockets.
# (Not through lab_exec_nobody: its no_new_privs keeps file capabilities from applying.)
if command -v setcap >/dev/null 2>&1 && cp "$tool" "$work/tarnhop-cap" &&
    setcap cap_net_raw+ep "$work/tarnhop-cap" 2>/dev/null; then
    chmod 755 "$work/tarnhop-cap"
    e2e_run out err status lab_exec setpriv --reuid=nobody --regid="$(id -gn nobody)" \
        --clear-groups -- "$work/tarnhop-cap" "${quick[@]}" -d "$LAB_TARGET_ADDR"
    expect_status "nobody with cap_net_raw, no ping sockets: status 0" 0 "$status"
    expect_contains "nobody with cap_net_raw, no ping sockets: the trace completes" "$out" \
        "Traceroute complete."
else
    echo "note: setcap is not available here; the capability path is not checked"
fi

e2e_finish
