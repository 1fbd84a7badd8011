#!/usr/bin/env bash
# The Windows builds of tarnhop: cross-builds the i686 and x86_64 programs with
# mingw-w64 (warnings are errors, runtime linked in) and runs the x86_64 one under
# wine64 in the network lab (tests/lab/lab.sh): the usage text and parse errors byte for
# byte, a resolver failure, ICMP traces and pings through the lab's routers with names
# from the lab's DNS, router reports, UDP probes (their packets checked on the wire),
# and a cache file written on Windows that the Linux build reads back and vice versa.
#
# The i686 program is only built: 32-bit code does not run on these machines.
#
# The displays expected of the Windows program are the lab's, tests/e2e/expected/*.out,
# with CR LF line ends; the cache file of the lab's route is tests/win/lab-route.cache.hex
# (its bytes in hex, one record a line).
#
# Environment:
#   TARNHOP  the Linux build of tarnhop (default build/release/tarnhop, which must be
#            built first: cmake --preset release && cmake --build --preset release)
#   CI       with CI=true a lab that cannot be had is a failure, not a skip
#
# Checks go through tests/e2e/lib.sh: prints "N passed, M failed" and exits non-zero
# when anything failed.
#
# Sourced (as tests/e2e/test_hostile_wine.sh does), it only defines the wine helpers:
#   wine_lab_up CLEANUP...  builds the lab and a wine prefix of its own inside it; on
#                           exit the prefix's wineserver ends, CLEANUP runs, the lab goes
#   win ARGS...             $exe under wine in the client namespace
#   run_win ARGS...         win through e2e_run: into out, err and st
set -u
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../e2e/lib.sh
source "$root/tests/e2e/lib.sh"
# shellcheck source=../lab/lab.sh
source "$root/tests/lab/lab.sh"
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

# Wine's services (the ICMP echo service among them) run in the network namespace of
# whoever started the prefix's wineserver: everything starts inside the client
# namespace, with a prefix of this lab's own, and the server ends before the lab does.
wine_lab_up() {
    wine_cleanup=("$@")
    lab_up
    export WINEPREFIX=$LAB_DIR/wine
    # Wine's own settings for every call: no display, no add-on installers, no debug
    # output, and its server's temporary folder inside the lab's folder.
    mkdir -p "$LAB_DIR/tmp" "$LAB_DIR/win"
    wine_env=(env -u DISPLAY WINEPREFIX="$WINEPREFIX" TMPDIR="$LAB_DIR/tmp" WINEDEBUG=-all
        WINEDLLOVERRIDES="mscoree=;mshtml=")
    trap wine_down EXIT
    trap 'wine_down; exit 130' INT
    trap 'wine_down; exit 143' TERM
    lab_exec "${wine_env[@]}" "$wineserver" -k >/dev/null 2>&1
    exe=$LAB_DIR/win/tarnhop.exe
}

wine_down() {
    if [ -n "${LAB_CLIENT:-}" ] && [ -d "${WINEPREFIX:-}" ]; then
        lab_exec "${wine_env[@]}" "$wineserver" -k >/dev/null 2>&1
        lab_exec "${wine_env[@]}" "$wineserver" -w >/dev/null 2>&1
    fi
    [ "${#wine_cleanup[@]}" = 0 ] || "${wine_cleanup[@]}"
    lab_down
}

win() {
    lab_exec "${wine_env[@]}" "$wine64" "$exe" "$@"
}

run_win() {
    e2e_run out err st win "$@"
}

[ "${BASH_SOURCE[0]}" = "$0" ] || return 0

cd "$root" || exit 1
TARNHOP=${TARNHOP:-$root/build/release/tarnhop}
e2e_require_tarnhop
work=$(mktemp -d /tmp/tarnhop-win.XXXXXX) || exit 1
trap 'rm -rf -- "$work"' EXIT

# ---- Packages --------------------------------------------------------------------------

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 binutils-mingw-w64-x86-64 cmake make
          iproute2 dnsmasq-base tcpdump util-linux procps)
mapfile -t missing < <(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    awk '/ install ok installed$/ { print $1 }' | sort | comm -13 - <(printf '%s\n' "${packages[@]}" | sort))
if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null || {
        e2e_fail "install ${missing[*]}"
        e2e_finish
    }
fi

# ---- Cross-builds ----------------------------------------------------------------------

# build_windows ARCH DIR: configure and build; the build log must hold no warning, and
# the program imports only the system's own DLLs: no C++, GCC or thread runtime beside it.
build_windows() {
    local arch=$1 dir=$2 log=$work/build-$1.log dlls built
    echo "== build: Windows $arch in $dir"
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 && cmake --build "$dir" -j2 >>"$log" 2>&1 &&
        ! grep -qi "warning" "$log"
    built=$?
    expect_true "$arch build, no warnings" "$built" "$(grep -iE "error|warning" "$log" | head -20)"
    ((built == 0)) || return 1
    dlls=$(x86_64-w64-mingw32-objdump -p "$dir/tarnhop.exe" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z')
    ! grep -vqxE 'kernel32\.dll|msvcrt\.dll|user32\.dll|winmm\.dll|ws2_32\.dll' <<<"$dlls" &&
        grep -qx 'ws2_32.dll' <<<"$dlls"
    expect_true "$arch: imports only system DLLs, ws2_32 among them" $? "$(tr '\n' ' ' <<<"$dlls")"
}

build_windows i686 "$root/build-win-i686"
build_windows x86_64 "$root/build-win-x64" || e2e_finish

# The checks of the platform layer alone, against the same core library.
x86_64-w64-mingw32-g++ -std=c++20 -O2 -Wall -Wextra -Werror -Wshadow -Wcast-qual \
    -Wmissing-declarations -I"$root" "$root/tests/win/seam_check.cpp" \
    "$root/build-win-x64/libtarnhop_core.a" "$root/build-win-x64/libtarnhop_wire.a" \
    -lws2_32 -liphlpapi -lwinmm -static \
    -o "$work/seam_check.exe" 2>"$work/seam_check.log"
expect_true "seam check build" $? "$(head -20 "$work/seam_check.log")"

# ---- The lab and wine ------------------------------------------------------------------

wine_lab_up rm -rf -- "$work"

# The programs sit in folders of their own, each beside its own cache file.
linux=$LAB_DIR/linux/tarnhop
cp "$root/build-win-x64/tarnhop.exe" "$exe" && install -D "$TARNHOP" "$linux" || {
    e2e_fail "copy the programs"
    e2e_finish
}

# The Windows program ends each line with CR LF; lf TEXT sets `got` to it with LF line
# ends and its times masked, and fails when any line end lacks its CR or a CR stands
# alone. A hop line's time cell must be 7 characters wide: the masked cell is "Nms" and
# 4 spaces.
lf() {
    local rest=${1//$'\r\n'/}
    [[ $rest != *[$'\r\n']* ]] || return 1
    mask_times_into got "${1//$'\r\n'/$'\n'}"
}

# win_check NAME WANT_STATUS EXPECTED: the exit status of the Windows program's run just
# made (out, st), and its LF text against tests/e2e/expected/EXPECTED.out.
win_check() {
    local name=$1 want_status=$2 want
    e2e_expected want "$3"
    if ! lf "$out"; then
        e2e_fail "$name: line ends are all CR LF" "$(printf '%s' "$out" | od -c | head -10)"
        return
    fi
    expect_eq "$name" "status $want_status"$'\n'"$want" "status $st"$'\n'"$got"
}

# win_cases ROWS: for each line "NAME|WANT_STATUS|EXPECTED|ARGS" of ROWS, runs the Windows
# program with ARGS (split at blanks), then win_check.
win_cases() {
    local name status expected args
    while IFS='|' read -r name status expected args; do
        read -r -a args <<<"$args"
        run_win "${args[@]}"
        win_check "$name" "$status" "$expected"
    done <<<"$1"
}

# same_bytes NAME WANT_STATUS ARGS...: the Windows program prints exactly what the Linux
# build prints, with CR LF for LF; the compile date in the usage text may differ.
same_bytes() {
    local want date='1s/compiled [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}/compiled DATE/'
    e2e_run want err st lab_exec "$linux" "${@:3}"
    run_win "${@:3}"
    exactly want sed -E "$date" < <(printf '%s' "${want//$'\n'/$'\r\n'}")
    exactly got sed -E "$date" < <(printf '%s' "$out")
    expect_eq "$1: same bytes as the Linux build's" "status $2"$'\n'"$want" "status $st"$'\n'"$got"
}

# The first call boots the fresh prefix.
started=$SECONDS
echo "== wine: booting a prefix in $LAB_CLIENT"
LAB_EXEC_TIMEOUT=120 run_win
echo "   $((SECONDS - started)) s"

# ---- Under wine: platform layer --------------------------------------------------------
if [ -f "$work/seam_check.exe" ] && install -D -t "$LAB_DIR/check" "$work/seam_check.exe"; then
    e2e_run out err st lab_exec "${wine_env[@]}" "$wine64" "$LAB_DIR/check/seam_check.exe"
    out=${out//$'\r'/}
    grep '^FAIL' <<<"$out"
    # Each of the seam check's own checks counts as one here.
    if read -r n _ m _ < <(grep -E '^[0-9]+ passed, [0-9]+ failed$' <<<"$out"); then
        echo "ok - seam check: $n passed, $m failed"
        E2E_PASSED=$((E2E_PASSED + n))
        E2E_FAILED=$((E2E_FAILED + m))
        [ "$st" = 0 ] || [ "$m" != 0 ] || e2e_fail "seam check: status $st"
    else
        e2e_fail "seam check: no summary (status $st)" "${err:0:300}"
    fi
fi

# ---- Under wine: command line ----------------------------------------------------------
same_bytes "usage text" 1
same_bytes "help word /?" 1 '/?'
same_bytes "unknown option" 1 -x 127.0.0.1
same_bytes "-t takes -d as its value" 1 -t -d 127.0.0.1
same_bytes "-l 8193" 1 -l 8193 127.0.0.1
same_bytes "one output call holds at most 1023 characters" 1 "-x$(printf 'y%.0s' $(seq 1 1500))" 127.0.0.1

# ---- Under wine: ICMP echo through the routers -----------------------------------------
# The largest payload the parser accepts (-l 8192): the service's reply buffer holds the
# whole echoed payload, and the routers' reports about the fragmented request come through.
win_cases "resolver failure|1|nxname|$LAB_NXNAME
trace with names|0|trace-named-1|-i 1 -w 1000 $LAB_TARGET_NAME
trace, three probes per hop|0|trace-numeric|-d -w 1000 $LAB_TARGET_ADDR
ping|0|ping-two|-o -i 2 -d $LAB_TARGET_ADDR
ping, -l 8192|0|ping-8192-two|-o -i 2 -d -l 8192 $LAB_TARGET_ADDR
trace, -l 8192|0|trace-numeric-1|-i 1 -d -l 8192 $LAB_TARGET_ADDR
router reports host unreachable|0|unreachable-numeric|-i 1 -d $LAB_UNREACH_ADDR
router reports network unreachable|0|no-route|-i 1 -d $LAB_NONET_ADDR"

# Type of Service on the wire.
if e2e_captured icmp win -o -i 1 -d -v 300 "$LAB_TARGET_ADDR"; then
    wire=$(lab_capture_text)
    grep -q "tos 0x2c, ttl 128,.*proto ICMP" <<<"$wire" &&
        grep -q "$LAB_CLIENT_ADDR > $LAB_TARGET_ADDR: ICMP echo request" <<<"$wire"
    expect_true "-v 300: an echo request with ToS 44 and TTL 128 on the wire" $? "$(head -6 <<<"$wire")"
fi

# ---- Under wine: UDP probes over raw sockets -------------------------------------------
if e2e_captured udp win -u -i 1 -d "$LAB_TARGET_ADDR"; then
    win_check "UDP trace" 0 trace-numeric-1
    # One datagram per hop: TTL k to port 33434 + k from port 60001, 32 payload
    # bytes, don't-fragment clear.
    wire=$(lab_capture_text | tr '\n' ' ' | sed 's/ IP /\nIP /g')
    [ "$(grep -c "proto UDP" <<<"$wire")" = 5 ]
    ok=$?
    for k in 1 2 3 4 5; do
        grep -q "ttl $k, .*flags \[none\], proto UDP (17), length 60)  *$LAB_CLIENT_ADDR.60001 > $LAB_TARGET_ADDR.$((33434 + k)): UDP, length 32" <<<"$wire" || ok=1
    done
    expect_true "UDP datagrams on the wire" "$ok" "$(head -8 <<<"$wire")"
fi
# With -l 1000 a router quotes 548 bytes of a 1028-byte datagram: the answer is read from
# its first 512 bytes all the same.
win_cases "UDP ping|0|ping-two|-u -o -i 2 -d $LAB_TARGET_ADDR
UDP answer longer than the receive buffer|0|hops-1-2|-u -i 1 -t 2 -l 1000 -d $LAB_TARGET_ADDR"

# ---- Under wine: cache file shared with the Linux build --------------------------------
# ptr_queries: the lab DNS's reverse queries for the route's addresses so far.
ptr_queries() {
    local a
    for a in "$LAB_TARGET_ADDR" "$LAB_HOP1" "$LAB_HOP2" "$LAB_HOP3" "$LAB_HOP4"; do
        lab_dns_queries "$a"
    done | awk '{ sum += $1 } END { print sum + 0 }'
}
# The route's records in lookup order (target first), hop 3 with no name.
xxd -r -p "$root/tests/win/lab-route.cache.hex" >"$work/cache.want"
e2e_expected trace_named trace-named-1

win_cases "-c trace on Windows|0|trace-named-1|-c -i 1 -w 1000 $LAB_TARGET_NAME"
# Records in lookup order; the temporary file of the save is gone.
cmp -s "$LAB_DIR/win/tarnhop.cache" "$work/cache.want" &&
    [ "$(ls "$LAB_DIR/win" | tr '\n' ' ')" = "tarnhop.cache tarnhop.exe " ]
expect_true "cache file written on Windows" $? "$(ls "$LAB_DIR/win" | tr '\n' ' ')" \
    "$(od -c "$LAB_DIR/win/tarnhop.cache" 2>&1 | head -8)"

# The Linux build finds every name in that file and asks the DNS for none of them.
cp "$LAB_DIR/win/tarnhop.cache" "$LAB_DIR/linux/tarnhop.cache"
queries=$(ptr_queries)
e2e_run out err st lab_exec "$linux" -c -i 1 -w 1000 "$LAB_TARGET_NAME"
mask_times_into got "$out"
[ "$st" = 0 ] && [ "$got" = "$trace_named" ] &&
    [ "$(ptr_queries)" = "$queries" ] && cmp -s "$LAB_DIR/linux/tarnhop.cache" "$work/cache.want"
expect_true "Linux build reading the Windows cache file" $? \
    "status $st, $(($(ptr_queries) - queries)) reverse queries" \
    "$(diff <(printf '%s\n' "$trace_named") <(printf '%s\n' "$got") | head)"

# And back: the Windows program reads the file the Linux build wrote, less its last
# record (the fourth router's), asks the DNS for that name alone and replaces the file
# with the whole list again.
size=$(wc -c <"$LAB_DIR/linux/tarnhop.cache")
head -c $((size - 5 - ${#LAB_HOP4_NAME})) "$LAB_DIR/linux/tarnhop.cache" >"$LAB_DIR/win/tarnhop.cache"
queries=$(ptr_queries)
hop4_queries=$(lab_dns_queries "$LAB_HOP4")
run_win -c -i 1 -w 1000 "$LAB_TARGET_NAME"
[ "$st" = 0 ] && [ "$(ptr_queries)" = $((queries + 1)) ] &&
    [ "$(lab_dns_queries "$LAB_HOP4")" = $((hop4_queries + 1)) ] &&
    lf "$out" && [ "$got" = "$trace_named" ] && cmp -s "$LAB_DIR/win/tarnhop.cache" "$work/cache.want"
expect_true "Windows program reading the Linux cache file" $? \
    "status $st, $(($(ptr_queries) - queries)) reverse queries" \
    "$(od -c "$LAB_DIR/win/tarnhop.cache" 2>&1 | head -8)"

echo "   lab part $((SECONDS - started)) s"
e2e_finish
