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
# Environment:
#   TARNHOP  the Linux build of tarnhop (default build/release/tarnhop; built into
#            build-win-host when missing)
#   CI       with CI=true a lab that cannot be had is a failure, not a skip
#
# Prints "N passed, M failed" and exits non-zero when anything failed.
set -u
cd "$(dirname "$0")/../.." || exit 1
root=$PWD
passed=0
failed=0
work=$(mktemp -d /tmp/tarnhop-win.XXXXXX) || exit 1
trap 'rm -rf -- "$work"' EXIT

pass() { passed=$((passed + 1)); }
fail() {
    echo "FAIL $*"
    failed=$((failed + 1))
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" = 0 ]
    exit
}

# ---- Packages --------------------------------------------------------------------------

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 binutils-mingw-w64-x86-64 cmake make
          iproute2 dnsmasq-base tcpdump util-linux procps)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null || {
        fail "cannot install ${missing[*]}"
        finish
    }
fi
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

# ---- Cross-builds ----------------------------------------------------------------------

# build_windows ARCH DIR: configure and build; the build log must hold no warning.
build_windows() {
    local arch=$1 dir=$2 log=$work/build-$1.log started=$SECONDS
    echo "== build: Windows $arch in $dir"
    if ! cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 || ! cmake --build "$dir" -j2 >>"$log" 2>&1; then
        fail "$arch build"
        grep -E "error|warning" "$log" | head -20
        return 1
    fi
    if grep -qi "warning" "$log"; then
        fail "$arch build: warnings"
        grep -i "warning" "$log" | head -20
        return 1
    fi
    echo "   $((SECONDS - started)) s"
    pass
    # Only the system's own DLLs: no C++, GCC or thread runtime beside the .exe.
    local dlls
    dlls=$(x86_64-w64-mingw32-objdump -p "$dir/tarnhop.exe" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z')
    local foreign
    foreign=$(grep -vxE 'kernel32\.dll|msvcrt\.dll|user32\.dll|winmm\.dll|ws2_32\.dll' <<<"$dlls")
    if [ -n "$foreign" ] || ! grep -qx 'ws2_32.dll' <<<"$dlls"; then
        fail "$arch: imports $(tr '\n' ' ' <<<"$dlls")"
    else
        pass
    fi
}

build_windows i686 "$root/build-win-i686"
build_windows x86_64 "$root/build-win-x64" || finish
exe_built=$root/build-win-x64/tarnhop.exe

# The checks of the platform layer alone, against the same core library.
if x86_64-w64-mingw32-g++ -std=c++20 -O2 -Wall -Wextra -Werror -Wshadow -Wcast-qual \
    -Wmissing-declarations -I"$root" "$root/tests/win/seam_check.cpp" \
    "$root/build-win-x64/libtarnhop_core.a" "$root/build-win-x64/libtarnhop_wire.a" \
    -lws2_32 -liphlpapi -lwinmm -static \
    -o "$work/seam_check.exe" 2>"$work/seam_check.log"; then
    pass
else
    fail "seam check build"
    head -20 "$work/seam_check.log"
fi

linux_built=${TARNHOP:-$root/build/release/tarnhop}
if [ ! -x "$linux_built" ]; then
    echo "== build: Linux in build-win-host (no $linux_built)"
    linux_built=$root/build-win-host/tarnhop
    { cmake -S "$root" -B "$root/build-win-host" -DCMAKE_BUILD_TYPE=Release -DTARNHOP_TESTS=OFF &&
        cmake --build "$root/build-win-host" -j2 --target tarnhop; } >"$work/build-host.log" 2>&1 || {
        fail "Linux build"
        tail -20 "$work/build-host.log"
        finish
    }
fi

# ---- The lab and wine ------------------------------------------------------------------

# shellcheck source=../lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_up
export WINEPREFIX=$LAB_DIR/wine
# Wine's own settings for every call: no display, no add-on installers, no debug
# output, and its server's temporary folder inside the lab's folder.
mkdir -p "$LAB_DIR/tmp"
wine_env=(env -u DISPLAY WINEPREFIX="$WINEPREFIX" TMPDIR="$LAB_DIR/tmp" WINEDEBUG=-all
          WINEDLLOVERRIDES="mscoree=;mshtml=")

# Wine's services (the ICMP echo service among them) run in the network namespace of
# whoever started the prefix's wineserver: everything starts inside the client
# namespace, with a prefix of this lab's own, and the server ends before the lab does.
wine_down() {
    if [ -n "${LAB_CLIENT:-}" ] && [ -d "${WINEPREFIX:-}" ]; then
        lab_exec "${wine_env[@]}" "$wineserver" -k >/dev/null 2>&1
        lab_exec "${wine_env[@]}" "$wineserver" -w >/dev/null 2>&1
    fi
    lab_down
    rm -rf -- "$work"
}
trap wine_down EXIT
trap 'wine_down; exit 130' INT
trap 'wine_down; exit 143' TERM
lab_exec "${wine_env[@]}" "$wineserver" -k >/dev/null 2>&1

# The programs sit in folders of their own, each beside its own cache file.
mkdir -p "$LAB_DIR/win" "$LAB_DIR/linux"
exe=$LAB_DIR/win/tarnhop.exe
linux=$LAB_DIR/linux/tarnhop
cp "$exe_built" "$exe" && cp "$linux_built" "$linux" || {
    fail "cannot copy the programs"
    finish
}

# run_win OUT ARGS...: the Windows program under wine in the client namespace; its
# standard output goes to OUT, its exit status to $status.
run_win() {
    local out=$1
    shift
    lab_exec "${wine_env[@]}" \
        "$wine64" "$exe" "$@" >"$out" 2>"$work/wine.err" </dev/null
    status=$?
}

# run_linux OUT ARGS...: the same with the Linux build.
run_linux() {
    local out=$1
    shift
    lab_exec "$linux" "$@" >"$out" 2>/dev/null </dev/null
    status=$?
}

# The Windows program ends each line with CR LF; lf FILE prints it with LF, and fails
# when any line end lacks its CR or a CR stands alone.
lf() {
    local crlf lfs cr
    crlf=$(grep -c $'\r$' "$1")
    lfs=$(wc -l <"$1")
    cr=$(tr -cd '\r' <"$1" | wc -c)
    [ "$crlf" = "$lfs" ] && [ "$cr" = "$lfs" ] || return 1
    tr -d '\r' <"$1"
}

# Times become <t>. A hop line's time cell must be 7 characters wide (text cut or padded
# with spaces); one that is not becomes <bad>.
mask_times() {
    perl -pe 'if (/^[ 0-9][0-9]  /) { s/([0-9]+ms *)/length($1) == 7 ? "<t>" : "<bad>"/ge }
              else { s/[0-9]+ms/<t>/g }'
}

# expect NAME WANT_STATUS WANT_TEXT FILE: the exit status and the masked LF text.
expect() {
    local name=$1 want_status=$2 want=$3 file=$4 got
    if ! got=$(lf "$file"); then
        fail "$name: line ends are not all CR LF"
        od -c "$file" | head -10
        return
    fi
    got=$(mask_times <<<"$got")
    if [ "$status" != "$want_status" ] || [ "$got" != "$want" ]; then
        fail "$name: status $status (want $want_status)"
        diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") | head -20
        head -c 300 "$work/wine.err"
        return
    fi
    pass
}

# same_bytes NAME WANT_STATUS ARGS...: the Windows program prints exactly what the Linux
# build prints, with CR LF for LF; the compile date in the usage text may differ.
same_bytes() {
    local name=$1 want_status=$2
    shift 2
    run_linux "$work/linux.out" "$@"
    perl -pe 's/\n/\r\n/g' "$work/linux.out" >"$work/want"
    sed -i -E '1s/compiled [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}/compiled DATE/' "$work/want"
    run_win "$work/win.out" "$@"
    sed -i -E '1s/compiled [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}/compiled DATE/' "$work/win.out"
    if [ "$status" != "$want_status" ] || ! cmp -s "$work/want" "$work/win.out"; then
        fail "$name: status $status (want $want_status), output differs from the Linux build's"
        diff <(od -c "$work/want") <(od -c "$work/win.out") | head -12
        head -c 300 "$work/wine.err"
        return
    fi
    pass
}

# The first call boots the fresh prefix.
started=$SECONDS
echo "== wine: booting a prefix in $LAB_CLIENT"
LAB_EXEC_TIMEOUT=120 run_win "$work/boot.out"
echo "   $((SECONDS - started)) s"

echo "== wine: platform layer"
mkdir -p "$LAB_DIR/check"
if [ -f "$work/seam_check.exe" ] && cp "$work/seam_check.exe" "$LAB_DIR/check/"; then
    lab_exec "${wine_env[@]}" \
        "$wine64" "$LAB_DIR/check/seam_check.exe" >"$work/check.out" 2>"$work/wine.err" </dev/null
    status=$?
    tr -d '\r' <"$work/check.out" | grep '^FAIL'
    summary=$(tr -d '\r' <"$work/check.out" | grep -E '^[0-9]+ passed, [0-9]+ failed$')
    if [ -n "$summary" ]; then
        read -r n _ m _ <<<"$summary"
        passed=$((passed + n))
        failed=$((failed + m))
        [ "$status" = 0 ] || [ "$m" != 0 ] || fail "seam check: status $status"
    else
        fail "seam check: no summary (status $status)"
        head -c 300 "$work/wine.err"
    fi
fi

echo "== wine: command line"
same_bytes "usage text" 1
same_bytes "help word /?" 1 '/?'
same_bytes "unknown option" 1 -x 127.0.0.1
same_bytes "-t takes -d as its value" 1 -t -d 127.0.0.1
same_bytes "-l 8193" 1 -l 8193 127.0.0.1
same_bytes "one output call holds at most 1023 characters" 1 "-x$(printf 'y%.0s' $(seq 1 1500))" 127.0.0.1

echo "== wine: ICMP echo through the routers"
run_win "$work/out" "$LAB_NXNAME"
expect "resolver failure" 1 "Couldn't resolve $LAB_NXNAME. Winsock error code 11001" "$work/out"

hop_line() { # hop_line N ADDRESS NAME: one answered probe
    if [ -n "$3" ]; then
        printf '%2d  <t>%s [%s]' "$1" "$3" "$2"
    else
        printf '%2d  <t>%s' "$1" "$2"
    fi
}
trace_named=$(printf '\nTracing route to %s [%s] with TTL of 32:\n\n%s\n%s\n%s\n%s\n%s\n\nTraceroute complete.' \
    "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR" "$(hop_line 1 "$LAB_HOP1" "$LAB_HOP1_NAME")" \
    "$(hop_line 2 "$LAB_HOP2" "$LAB_HOP2_NAME")" "$(hop_line 3 "$LAB_HOP3" "$LAB_HOP3_NAME")" \
    "$(hop_line 4 "$LAB_HOP4" "$LAB_HOP4_NAME")" \
    "$(hop_line 5 "$LAB_TARGET_ADDR" "$LAB_TARGET_NAME")")
run_win "$work/out" -i 1 -w 1000 "$LAB_TARGET_NAME"
expect "trace with names" 0 "$trace_named" "$work/out"

run_win "$work/out" -d -w 1000 "$LAB_TARGET_ADDR"
expect "trace, three probes per hop" 0 "$(printf '\nTracing route to %s with TTL of 32:' "$LAB_TARGET_ADDR")

$(for k in 1 2 3 4; do h=LAB_HOP$k; printf '%2d  <t><t><t>%s\n' "$k" "${!h}"; done)
$(printf ' 5  <t><t><t>%s\n\nTraceroute complete.' "$LAB_TARGET_ADDR")" "$work/out"

# The target's answers come through four routers: TTL 64 - 4.
run_win "$work/out" -o -i 2 -d "$LAB_TARGET_ADDR"
expect "ping" 0 "$(printf '\nPinging %s with data size of 32:' "$LAB_TARGET_ADDR")

Reply from $LAB_TARGET_ADDR: bytes=32 time=<t> TTL=60
Reply from $LAB_TARGET_ADDR: bytes=32 time=<t> TTL=60

Pinging complete." "$work/out"

four_hops=$(for k in 1 2 3 4; do h=LAB_HOP$k; printf '%2d  <t>%s\n' "$k" "${!h}"; done)

# The largest payload the parser accepts: the service's reply buffer holds the whole
# echoed payload, and the routers' reports about the fragmented request come through.
run_win "$work/out" -o -i 2 -d -l 8192 "$LAB_TARGET_ADDR"
expect "ping, -l 8192" 0 "$(printf '\nPinging %s with data size of 8192:' "$LAB_TARGET_ADDR")

Reply from $LAB_TARGET_ADDR: bytes=8192 time=<t> TTL=60
Reply from $LAB_TARGET_ADDR: bytes=8192 time=<t> TTL=60

Pinging complete." "$work/out"

run_win "$work/out" -i 1 -d -l 8192 "$LAB_TARGET_ADDR"
expect "trace, -l 8192" 0 "$(printf '\nTracing route to %s with TTL of 32:' "$LAB_TARGET_ADDR")

$four_hops
$(printf ' 5  <t>%s\n\nTraceroute complete.' "$LAB_TARGET_ADDR")" "$work/out"

run_win "$work/out" -i 1 -d "$LAB_UNREACH_ADDR"
expect "router reports host unreachable" 0 "$(printf '\nTracing route to %s with TTL of 32:' "$LAB_UNREACH_ADDR")

$four_hops

$LAB_HOP4 reports: Destination host unreachable." "$work/out"
run_win "$work/out" -i 1 -d "$LAB_NONET_ADDR"
expect "router reports network unreachable" 0 "$(printf '\nTracing route to %s with TTL of 32:' "$LAB_NONET_ADDR")

$four_hops

$LAB_HOP4 reports: Destination network unreachable." "$work/out"

# Type of Service on the wire.
if lab_capture_start icmp; then
    run_win "$work/out" -o -i 1 -d -v 300 "$LAB_TARGET_ADDR"
    lab_capture_stop
    if lab_capture_text | grep -q "tos 0x2c, ttl 128,.*proto ICMP" &&
        lab_capture_text | grep -q "$LAB_CLIENT_ADDR > $LAB_TARGET_ADDR: ICMP echo request"; then
        pass
    else
        fail "-v 300: no echo request with ToS 44 and TTL 128 on the wire"
        lab_capture_text | head -6
    fi
else
    fail "capture did not start"
fi

echo "== wine: UDP probes over raw sockets"
if lab_capture_start udp; then
    run_win "$work/out" -u -i 1 -d "$LAB_TARGET_ADDR"
    lab_capture_stop
    expect "UDP trace" 0 "$(printf '\nTracing route to %s with TTL of 32:' "$LAB_TARGET_ADDR")

$four_hops
$(printf ' 5  <t>%s\n\nTraceroute complete.' "$LAB_TARGET_ADDR")" "$work/out"
    # One datagram per hop: TTL k to port 33434 + k from port 60001, 32 payload
    # bytes, don't-fragment clear.
    wire=$(lab_capture_text | tr '\n' ' ' | sed 's/ IP /\nIP /g')
    ok=1
    for k in 1 2 3 4 5; do
        grep -q "ttl $k, .*flags \[none\], proto UDP (17), length 60)  *$LAB_CLIENT_ADDR.60001 > $LAB_TARGET_ADDR.$((33434 + k)): UDP, length 32" <<<"$wire" || ok=0
    done
    [ "$(grep -c "proto UDP" <<<"$wire")" = 5 ] || ok=0
    if [ "$ok" = 1 ]; then
        pass
    else
        fail "UDP datagrams on the wire"
        printf '%s\n' "$wire" | head -8
    fi
else
    fail "capture did not start"
fi

run_win "$work/out" -u -o -i 2 -d "$LAB_TARGET_ADDR"
expect "UDP ping" 0 "$(printf '\nPinging %s with data size of 32:' "$LAB_TARGET_ADDR")

Reply from $LAB_TARGET_ADDR: bytes=32 time=<t> TTL=60
Reply from $LAB_TARGET_ADDR: bytes=32 time=<t> TTL=60

Pinging complete." "$work/out"

# A router quotes 548 bytes of a 1028-byte datagram: the answer is read from its first
# 512 bytes all the same.
run_win "$work/out" -u -i 1 -t 2 -l 1000 -d "$LAB_TARGET_ADDR"
expect "UDP answer longer than the receive buffer" 0 "$(printf '\nTracing route to %s with TTL of 2:' "$LAB_TARGET_ADDR")

$(printf ' 1  <t>%s\n 2  <t>%s' "$LAB_HOP1" "$LAB_HOP2")" "$work/out"

echo "== wine: cache file shared with the Linux build"
# record ADDRESS NAME: one cache record, as printf escapes
record() {
    local IFS=. a
    read -ra a <<<"$1"
    printf '\\%03o\\%03o\\%03o\\%03o\\%03o%s' "${a[@]}" "${#2}" "$2"
}
printf "$(record "$LAB_TARGET_ADDR" "$LAB_TARGET_NAME")$(record "$LAB_HOP1" "$LAB_HOP1_NAME")$(record "$LAB_HOP2" "$LAB_HOP2_NAME")$(record "$LAB_HOP3" "$LAB_HOP3_NAME")$(record "$LAB_HOP4" "$LAB_HOP4_NAME")" \
    >"$work/cache.want"
ptr_queries() {
    local sum=0 a
    for a in "$LAB_TARGET_ADDR" "$LAB_HOP1" "$LAB_HOP2" "$LAB_HOP3" "$LAB_HOP4"; do
        sum=$((sum + $(lab_dns_queries "$a")))
    done
    echo "$sum"
}
run_win "$work/out" -c -i 1 -w 1000 "$LAB_TARGET_NAME"
expect "-c trace on Windows" 0 "$trace_named" "$work/out"
# Records in lookup order; the temporary file of the save is gone.
if cmp -s "$LAB_DIR/win/tarnhop.cache" "$work/cache.want" &&
    [ "$(ls "$LAB_DIR/win" | tr '\n' ' ')" = "tarnhop.cache tarnhop.exe " ]; then
    pass
else
    fail "cache file written on Windows: $(ls "$LAB_DIR/win" | tr '\n' ' ')"
    od -c "$LAB_DIR/win/tarnhop.cache" 2>&1 | head -8
fi

# The Linux build finds every name in that file and asks the DNS for none of them.
cp "$LAB_DIR/win/tarnhop.cache" "$LAB_DIR/linux/tarnhop.cache"
queries=$(ptr_queries)
run_linux "$work/out" -c -i 1 -w 1000 "$LAB_TARGET_NAME"
if [ "$status" = 0 ] && [ "$(mask_times <"$work/out")" = "$trace_named" ] &&
    [ "$(ptr_queries)" = "$queries" ] && cmp -s "$LAB_DIR/linux/tarnhop.cache" "$work/cache.want"; then
    pass
else
    fail "Linux build reading the Windows cache file: status $status, $(($(ptr_queries) - queries)) reverse queries"
    mask_times <"$work/out" | diff <(printf '%s\n' "$trace_named") - | head
fi

# And back: the Windows program reads the file the Linux build wrote, less its last
# record (the fourth router's), asks the DNS for that name alone and replaces the file
# with the whole list again.
size=$(wc -c <"$LAB_DIR/linux/tarnhop.cache")
head -c $((size - 5 - ${#LAB_HOP4_NAME})) "$LAB_DIR/linux/tarnhop.cache" >"$LAB_DIR/win/tarnhop.cache"
queries=$(ptr_queries)
hop4_queries=$(lab_dns_queries "$LAB_HOP4")
run_win "$work/out" -c -i 1 -w 1000 "$LAB_TARGET_NAME"
if [ "$status" = 0 ] && [ "$(ptr_queries)" = $((queries + 1)) ] &&
    [ "$(lab_dns_queries "$LAB_HOP4")" = $((hop4_queries + 1)) ] &&
    [ "$(lf "$work/out" | mask_times)" = "$trace_named" ] &&
    cmp -s "$LAB_DIR/win/tarnhop.cache" "$work/cache.want"; then
    pass
else
    fail "Windows program reading the Linux cache file: status $status, $(($(ptr_queries) - queries)) reverse queries"
    od -c "$LAB_DIR/win/tarnhop.cache" 2>&1 | head -8
fi

echo "   lab part $((SECONDS - started)) s"
finish
