# tests/lab/lab.sh: the network lab that tarnhop's end-to-end tests run in.
#
# A bash library; tests `source` it and call lab_up. It needs root and network
# namespaces. Everything it builds lives in namespaces of its own, named with a
# per-run suffix, and no namespace has an interface or a route that leads out of
# the machine (only veth pairs between lab namespaces, no default routes).
#
# Topology (link k joins node k-1 and node k, subnet 198.18.k.0/24, the left
# end has .1 and the right end .2; addresses, names and routes: lab.table):
#
#   client --1-- r1 --2-- r2 --3-- r3 --4-- r4 --5-- target
#   .1.1   .1.2  .2.1 .2.2 ...                .5.1  .5.2
#
#   r1..r4 are kernel routers (net.ipv4.ip_forward=1, net.ipv4.icmp_ratelimit=0).
#   The client and the target route 198.18.0.0/15 through their neighbour; every
#   router routes the client's side back and the rest of 198.18.0.0/15 onwards,
#   except r4, which knows only its own links and these routes:
#     unreachable LAB_UNREACH_ADDR/32  -> ICMP host unreachable (!H)
#     prohibit    LAB_PROHIBIT_ADDR/32 -> ICMP administratively prohibited (!X)
#     blackhole   LAB_BLACKHOLE_ADDR/32 -> silence; r4 looks the route up before
#                 it checks the TTL, so it stays silent even for probes that expire
#                 there
#     (none)      LAB_NONET_ADDR       -> ICMP network unreachable (!N)
#   The kernel limits the unreachable answers of a router to each source (a burst
#   of about 5, then one a second; net.ipv4.route.error_cost/error_burst are not
#   adjustable inside a namespace). A fresh lab starts with a full burst; tests
#   of those routes send one probe per hop and must not rely on every answer.
#   The target also runs with icmp_ratelimit=0, so every UDP probe that reaches it
#   gets its port-unreachable answer. IPv6 is off in every lab namespace (no
#   router solicitations or MLD noise in captures).
#
# DNS: dnsmasq runs inside the client namespace on 127.0.0.1:53, with no upstream
# servers, no /etc/hosts and no resolv.conf. It answers for "lab" and for the
# reverse zones of 198.18.0.0/15 only (unknown names there: NXDOMAIN; names
# outside them: REFUSED). Records (A and PTR):
#   r1.lab = LAB_HOP1, r2.lab = LAB_HOP2, r4.lab = LAB_HOP4, target.lab = target
#   LAB_HOP3 has no PTR record (NXDOMAIN).
# Every query is logged to LAB_DNS_LOG. /etc/netns/<client>/ holds resolv.conf
# (nameserver 127.0.0.1 only), hosts (localhost lines only) and nsswitch.conf
# (hosts: files dns), which `ip netns exec` mounts over /etc in the client, so
# glibc there resolves through the lab's dnsmasq and nothing else. lab_down
# removes that directory, and /etc/netns itself when a lab created it and no
# other lab still uses it (mark file /run/tarnhop-lab-made-etc-netns).
#
# Variables set by lab_up (and unset by lab_down):
#   LAB_SUFFIX            per-run suffix carried by every namespace and link name
#   LAB_CLIENT, LAB_R1, LAB_R2, LAB_R3, LAB_R4, LAB_TARGET   namespace names
#   LAB_DIR               temporary directory of this lab (removed by lab_down)
#   LAB_CLIENT_ADDR       198.18.1.1, the client's address
#   LAB_TARGET_ADDR       198.18.5.2
#   LAB_TARGET_NAME       target.lab (its PTR name and its forward name)
#   LAB_HOP1..LAB_HOP4    198.18.1.2, 198.18.2.2, 198.18.3.2, 198.18.4.2: the
#                         address each router answers time-exceeded from, as the
#                         client sees it (its client-side interface)
#   LAB_HOP1_NAME..LAB_HOP4_NAME   r1.lab, r2.lab, "" (no PTR), r4.lab
#   LAB_UNREACH_ADDR      198.18.6.1  (r4: route type unreachable)
#   LAB_PROHIBIT_ADDR     198.18.7.1  (r4: route type prohibit)
#   LAB_BLACKHOLE_ADDR    198.18.8.1  (r4: route type blackhole)
#   LAB_NONET_ADDR        198.18.9.1  (r4: no route at all)
#   LAB_NXNAME            nosuch.lab, a name the lab DNS answers NXDOMAIN for
#   LAB_DNS_ADDR          127.0.0.1 (inside the client namespace)
#   LAB_DNS_LOG           dnsmasq's query log
#   LAB_DNS_PID           dnsmasq's pid
#   LAB_R1_IF_CLIENT      r1's interface facing the client (for captures)
#   LAB_CAPTURE_FILE      the pcap file written by lab_capture_start
#   LAB_BG_PID            pid of the last process started with lab_bg
#
# Functions:
#   lab_up                build the lab; install an EXIT/INT/TERM trap calling
#                         lab_down (replacing any earlier trap on those). When the
#                         lab cannot be had (not root, tools missing, namespaces
#                         refused) it exits the script with 77 (skip), or with 1
#                         when CI=true. Any later failure exits with 1. Calling it
#                         again replaces the current lab with a fresh one.
#   lab_down              remove everything lab_up made; idempotent, safe after a
#                         half-way lab_up; never exits the script. Calls sim_cleanup
#                         first when tests/lab/sim.sh is loaded, and the script's
#                         function e2e_on_lab_down last, when there is one.
#   lab_exec CMD...       run CMD in the client namespace as root
#   lab_exec_nobody CMD...  the same as user nobody, group nogroup, no
#                         supplementary groups, no capabilities, no_new_privs (so
#                         file capabilities such as ping's do not apply)
#   lab_ns_exec NS CMD... run CMD in lab namespace NS (a name such as "$LAB_R2",
#                         or one of the roles client r1 r2 r3 r4 target)
#                         The three run CMD under `timeout` (LAB_EXEC_TIMEOUT
#                         seconds, default 60; status 124 when it fires). CMD must
#                         be a program, not a shell function.
#   lab_bg NS CMD...      start CMD in the background in lab namespace NS; its pid
#                         goes to LAB_BG_PID and lab_down ends it if still running.
#                         Call it directly, not inside $(...).
#   lab_bg_stop PID...    end processes started with lab_bg and wait for them
#   lab_await PID CMD...  run CMD (a program or a function) every 10 ms until it
#                         succeeds, for 10 s at the most: status 0 once it does, 1
#                         when it never does or when process PID has ended first
#   lab_running PID COMM  whether PID is a process of the program COMM that has not
#                         ended (not a zombie)
#   lab_ping_sockets open|closed
#                         net.ipv4.ping_group_range in the client namespace:
#                         "0 2147483647" or "1 0". lab_up leaves it closed.
#   lab_capture_start [tcpdump filter words...]
#                         start tcpdump in r1 on LAB_R1_IF_CLIENT writing
#                         LAB_CAPTURE_FILE; returns once tcpdump is listening. A
#                         capture still running is stopped first. Call it directly,
#                         not inside $(...).
#   lab_capture_stop      let packets in flight be written (until the file stops
#                         growing for 100 ms), stop tcpdump, wait for it
#   lab_capture_text [tcpdump args...]
#                         print `tcpdump -r LAB_CAPTURE_FILE -nn -v [args]`
#   lab_capture_bytes [tcpdump args...]
#                         print one line per captured packet: its bytes from the IP
#                         header on, as decimal numbers separated by spaces
#   lab_ptr_name ADDR     print the in-addr.arpa name of a dotted IPv4 address
#   lab_dns_queries ADDR_OR_NAME
#                         print how many queries (any type) LAB_DNS_LOG shows for
#                         the PTR name of a dotted IPv4 address, or for a name
#   lab_dns_settle        wait until the DNS server has logged every query sent so
#                         far (it answers in order: once a fresh query of ours is in
#                         the log, every earlier one is too), asking for settle-N.lab
#                         names; status 1 when that query never shows
#   lab_route_lines CELLS [numeric]
#                         print the five hop lines of the route to the target, each
#                         with the cells CELLS ("Nms    " a probe, masked times) and,
#                         unless numeric, the hop's name (hop 3 has none)
#   lab_trace_text        print the whole display of a trace of LAB_TARGET_NAME with
#                         three probes a hop and its times masked (see mask_times)
#
# Example:
#   source "$TARNHOP_SOURCE_DIR/tests/lab/lab.sh"
#   lab_up
#   lab_exec traceroute -n -q 1 "$LAB_TARGET_ADDR"

# The lab's addresses, names and routes (data).
_LAB_TABLE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lab.table
_LAB_ROLES=(client r1 r2 r3 r4 target)

_lab_say() {
    printf 'lab: %s\n' "$*" >&2
}

# The lab cannot be had here: skip, except in CI, where that is a failure.
_lab_unavailable() {
    lab_down
    if [ "${CI:-}" = true ]; then
        _lab_say "cannot build the network lab: $* (CI=true, failing)"
        exit 1
    fi
    _lab_say "cannot build the network lab: $* (skipping)"
    exit 77
}

_lab_fatal() {
    _lab_say "lab setup failed: $*"
    lab_down
    exit 1
}

lab_running() {
    [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ] &&
        [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# Ends a process this library (or sim.sh) started, PID empty or not: TERM when the pid
# still belongs to the program COMM we started (a pid can be reused once reaped), KILL
# when it is still running 3 s later (after timeout's own -k 2), then wait reaps our
# own child.
_lab_kill_pid() {
    local pid=$1 comm=$2 i
    [ -n "$pid" ] || return 0
    lab_running "$pid" "$comm" && kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 300; i++)); do
        lab_running "$pid" "$comm" || break
        sleep 0.01
    done
    if lab_running "$pid" "$comm"; then
        _lab_say "$comm $pid did not stop on TERM; killing it"
        kill -KILL "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    return 0
}

# The namespace of a role (client r1 r2 r3 r4 target: LAB_CLIENT ...), or NS itself.
_lab_ns_of() {
    local role=LAB_${1^^}
    [[ ! $1 =~ ^(client|r[1-4]|target)$ ]] || set -- "${!role:-}"
    printf '%s' "$1"
}

lab_down() {
    local pid var
    # The simulator first, when sim.sh is loaded: it runs inside a lab namespace.
    ! declare -F sim_cleanup >/dev/null || sim_cleanup
    _lab_kill_pid "${_LAB_CAPTURE_PID:-}" tcpdump
    _LAB_CAPTURE_PID=""
    for pid in ${_LAB_BG_PIDS:-}; do
        _lab_kill_pid "$pid" timeout
    done
    _LAB_BG_PIDS=""
    _lab_kill_pid "${LAB_DNS_PID:-}" dnsmasq
    # shellcheck disable=SC2086 # one word a namespace
    [ -z "${_LAB_NAMESPACES:-}" ] || printf 'netns del %s\n' $_LAB_NAMESPACES |
        ip -force -batch - >/dev/null 2>&1 || true
    _LAB_NAMESPACES=""
    [ -z "${_LAB_ETC_DIR:-}" ] || rm -rf -- "$_LAB_ETC_DIR"
    # The last lab out removes /etc/netns when a lab made it (see the mark).
    if [ -e "$_LAB_ETC_MARK" ] && rmdir /etc/netns 2>/dev/null; then
        rm -f -- "$_LAB_ETC_MARK"
    fi
    _LAB_ETC_DIR=""
    [ -z "${LAB_DIR:-}" ] || rm -rf -- "$LAB_DIR"
    # Every LAB_ variable is lab_up's, except the caller's LAB_EXEC_TIMEOUT.
    for var in "${!LAB_@}"; do
        [ "$var" = LAB_EXEC_TIMEOUT ] || unset "$var"
    done
    # Then the test script's own cleanup, when it has one (see tests/e2e/lib.sh).
    ! declare -F e2e_on_lab_down >/dev/null || e2e_on_lab_down
    return 0
}

_lab_check_prerequisites() {
    local tool
    [ "$(id -u)" = 0 ] || _lab_unavailable "not running as root"
    for tool in ip dnsmasq tcpdump setpriv timeout sysctl getent; do
        command -v "$tool" >/dev/null 2>&1 || _lab_unavailable "$tool is not installed"
    done
    # nscd would answer glibc's lookups from the default namespace.
    if [ -S /run/nscd/socket ] || [ -S /var/run/nscd/socket ]; then
        _lab_unavailable "nscd is running; lookups would bypass the lab's DNS server"
    fi
    _LAB_NOBODY_GROUP=nobody
    ! getent group nogroup >/dev/null 2>&1 || _LAB_NOBODY_GROUP=nogroup
}

# Sets the names and addresses of the lab with suffix S (exported by lab_up): the
# namespaces, the "var" rows of lab.table, r1's interface.
_lab_set_names() {
    local s=$1 role kind var value
    LAB_SUFFIX=$s
    for role in "${_LAB_ROLES[@]}"; do
        printf -v "LAB_${role^^}" 'tarnhop-%s-%s' "$s" "$role"
    done
    while read -r kind var value; do
        [ "$kind" != var ] || printf -v "$var" '%s' "$value"
    done <"$_LAB_TABLE"
    LAB_R1_IF_CLIENT=t1b$s
}

# Prints the `ip -batch` commands that configure node k (0 client, 1-4 routers,
# 5 target) inside its own namespace, nodes[k] (the caller's array of namespaces): its
# left link (made by node k-1), the link to its right neighbour (made here, the far end
# goes straight into that namespace) and its routes.
_lab_node_batch() {
    local k=$1 r=$(($1 + 1)) s=$LAB_SUFFIX
    echo "link set lo up"
    ((k == 0)) || printf '%s\n' "addr add 198.18.$k.2/24 dev t${k}b$s" "link set t${k}b$s up"
    ((k == 5)) || printf '%s\n' "link add t${r}a$s type veth peer name t${r}b$s netns ${nodes[r]}" \
        "addr add 198.18.$r.1/24 dev t${r}a$s" "link set t${r}a$s up"
    awk -v node="${_LAB_ROLES[$k]}" '$1 == "route" && $2 == node {
        $1 = $2 = ""; sub(/^ +/, ""); print "route add " $0 }' "$_LAB_TABLE"
}

# Makes the six namespaces, sets their sysctls (all of them before any link, so that
# the interfaces moved in take IPv6 off too), then their links and routes.
_lab_build() {
    local nodes k log=$LAB_DIR/setup.log
    _LAB_NAMESPACES="$LAB_CLIENT $LAB_R1 $LAB_R2 $LAB_R3 $LAB_R4 $LAB_TARGET"
    read -r -a nodes <<<"$_LAB_NAMESPACES"
    printf 'netns add %s\n' "${nodes[@]}" | ip -batch - >"$log" 2>&1 ||
        _lab_unavailable "cannot make network namespaces: $(head -n 3 "$log")"
    for ((k = 0; k <= 5; k++)); do
        ip netns exec "${nodes[k]}" sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 \
            net.ipv6.conf.default.disable_ipv6=1 net.ipv4.ip_forward=$((k >= 1 && k <= 4)) \
            net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=0 net.ipv4.conf.all.rp_filter=0 \
            net.ipv4.conf.default.rp_filter=0 "net.ipv4.ping_group_range=1 0" >>"$log" 2>&1 ||
            _lab_fatal "sysctl in ${nodes[k]}: $(tail -n 3 "$log")"
    done
    for ((k = 0; k <= 5; k++)); do
        _lab_node_batch "$k" | ip -n "${nodes[k]}" -batch - >>"$log" 2>&1 ||
            _lab_fatal "links and routes in ${nodes[k]}: $(tail -n 3 "$log")"
    done
}

# The resolver files that `ip netns exec` mounts over /etc in the client.
# /etc/netns may be shared with other labs running at the same time: a lab that
# creates it leaves the mark _LAB_ETC_MARK, and whichever lab finds it empty
# while marked removes it (never a /etc/netns that was there before).
_LAB_ETC_MARK=/run/tarnhop-lab-made-etc-netns

_lab_write_etc() {
    local i dir=/etc/netns/$LAB_CLIENT
    _LAB_ETC_DIR=$dir
    for ((i = 0; i < 10; i++)); do
        ! mkdir /etc/netns 2>/dev/null || : >"$_LAB_ETC_MARK"
        mkdir "$dir" 2>/dev/null && break
    done
    printf 'nameserver %s\noptions timeout:1 attempts:1\n' "$LAB_DNS_ADDR" >"$dir/resolv.conf" ||
        _lab_fatal "cannot write $dir/resolv.conf"
    printf '127.0.0.1\tlocalhost\n::1\tlocalhost\n' >"$dir/hosts" || _lab_fatal "cannot write $dir/hosts"
    # The system's nsswitch.conf with only its hosts line changed (glibc's defaults
    # for the rest when there is none).
    { grep -v '^hosts:' /etc/nsswitch.conf 2>/dev/null; echo 'hosts:          files dns'; } \
        >"$dir/nsswitch.conf" || _lab_fatal "cannot write $dir/nsswitch.conf"
}

_lab_start_dns() {
    ip netns exec "$LAB_CLIENT" dnsmasq --keep-in-foreground --conf-file=/dev/null \
        --no-resolv --no-hosts --no-poll --no-negcache \
        --listen-address="$LAB_DNS_ADDR" --bind-interfaces --port=53 \
        --user=root --group=root --pid-file="$LAB_DIR/dnsmasq.pid" \
        --local=/lab/ --local=/18.198.in-addr.arpa/ --local=/19.198.in-addr.arpa/ \
        --host-record="$LAB_HOP1_NAME,$LAB_HOP1" --host-record="$LAB_HOP2_NAME,$LAB_HOP2" \
        --host-record="$LAB_HOP4_NAME,$LAB_HOP4" --host-record="$LAB_TARGET_NAME,$LAB_TARGET_ADDR" \
        --log-queries --log-facility="$LAB_DNS_LOG" </dev/null >"$LAB_DIR/dnsmasq.out" 2>&1 &
    export LAB_DNS_PID=$!
    # dnsmasq binds its socket before it logs "started".
    lab_await "$LAB_DNS_PID" grep -qs ': started, version' "$LAB_DNS_LOG" && return 0
    _lab_fatal "dnsmasq did not start: $(cat "$LAB_DIR/dnsmasq.out" "$LAB_DNS_LOG" 2>/dev/null | tail -n 5)"
}

lab_up() {
    [ -z "${_LAB_NAMESPACES:-}${LAB_DIR:-}" ] || lab_down
    trap 'lab_down' EXIT
    trap 'lab_down; exit 130' INT
    trap 'lab_down; exit 143' TERM
    _lab_check_prerequisites
    _lab_set_names "$(printf '%x%04x' "$BASHPID" "$RANDOM")"
    LAB_DIR=$(mktemp -d "/tmp/tarnhop-lab-$LAB_SUFFIX.XXXXXX") ||
        _lab_unavailable "cannot create a temporary directory"
    LAB_CAPTURE_FILE=$LAB_DIR/capture.pcap
    LAB_DNS_LOG=$LAB_DIR/dns.log
    export "${!LAB_@}"
    _lab_build
    _lab_write_etc
    _lab_start_dns
    return 0
}

lab_ns_exec() {
    timeout -k 2 "${LAB_EXEC_TIMEOUT:-60}" ip netns exec "$(_lab_ns_of "$1")" "${@:2}"
}

lab_exec() {
    lab_ns_exec client "$@"
}

lab_exec_nobody() {
    lab_ns_exec client setpriv --reuid=nobody --regid="${_LAB_NOBODY_GROUP:-nogroup}" \
        --clear-groups --no-new-privs -- env -- "$@"
}

lab_bg() {
    timeout -k 2 "${LAB_EXEC_TIMEOUT:-60}" ip netns exec "$(_lab_ns_of "$1")" "${@:2}" &
    LAB_BG_PID=$!
    _LAB_BG_PIDS="${_LAB_BG_PIDS:-} $LAB_BG_PID"
}

lab_bg_stop() {
    local pid
    for pid in "$@"; do
        _lab_kill_pid "$pid" timeout
        _LAB_BG_PIDS=" ${_LAB_BG_PIDS:-} "
        _LAB_BG_PIDS=${_LAB_BG_PIDS// $pid / }
    done
}

lab_await() {
    local pid=$1 i
    for ((i = 0; i < 1000; i++)); do
        "${@:2}" && return 0
        # Gone, or a zombie that no reap has taken yet.
        [ -e "/proc/$pid" ] && [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" != Z ] || return 1
        sleep 0.01
    done
    return 1
}

lab_ping_sockets() {
    local -A range=([open]="0 2147483647" [closed]="1 0")
    if [ -z "${range[$1]:-}" ]; then
        _lab_say "lab_ping_sockets: expected open or closed, got '$1'"
        return 2
    fi
    ip netns exec "$LAB_CLIENT" sysctl -q -w "net.ipv4.ping_group_range=${range[$1]}"
}

# Whether tcpdump is capturing, its filter attached: it says "listening on" or has
# written the file header (its stderr may be cut off by an AppArmor profile that only
# lets it write *.pcap files).
_lab_capturing() {
    grep -qs 'listening on' "$LAB_DIR/capture.err" ||
        [ "$(stat -c %s "$LAB_CAPTURE_FILE" 2>/dev/null || echo 0)" -ge 24 ]
}

lab_capture_start() {
    [ -z "${_LAB_CAPTURE_PID:-}" ] || lab_capture_stop
    rm -f -- "$LAB_CAPTURE_FILE" "$LAB_DIR/capture.err"
    # -Z root: Debian's tcpdump would otherwise drop to its own user and could
    # not write into LAB_DIR. --immediate-mode and -U: every packet reaches the
    # file at once, nothing waits in a buffer when the capture is stopped.
    ip netns exec "$LAB_R1" tcpdump -i "$LAB_R1_IF_CLIENT" -n -U --immediate-mode -Z root \
        -w "$LAB_CAPTURE_FILE" "$@" </dev/null >/dev/null 2>"$LAB_DIR/capture.err" &
    _LAB_CAPTURE_PID=$!
    lab_await "$_LAB_CAPTURE_PID" _lab_capturing && return 0
    _lab_say "tcpdump did not start: $(cat "$LAB_DIR/capture.err" 2>/dev/null)"
    _lab_kill_pid "$_LAB_CAPTURE_PID" tcpdump
    _LAB_CAPTURE_PID=""
    return 1
}

lab_capture_stop() {
    local size last=-1 still=0 i
    [ -n "${_LAB_CAPTURE_PID:-}" ] || return 0
    for ((i = 0; i < 100 && still < 5; i++)); do
        size=$(stat -c %s "$LAB_CAPTURE_FILE" 2>/dev/null || echo 0)
        still=$((size == last ? still + 1 : 0))
        last=$size
        sleep 0.02
    done
    _lab_kill_pid "$_LAB_CAPTURE_PID" tcpdump
    _LAB_CAPTURE_PID=""
    return 0
}

lab_capture_text() {
    tcpdump -r "$LAB_CAPTURE_FILE" -nn -v "$@" 2>/dev/null
}

lab_capture_bytes() {
    local hex
    # tcpdump -x follows each packet's text lines with lines "0xOFFSET: HEX...".
    lab_capture_text -x "$@" | awk '$1 ~ /^0x[0-9a-f]+:$/ { $1 = ""; hex = hex $0; next }
        hex != "" { print hex; hex = "" }
        END { if (hex != "") print hex }' | while read -r hex; do
        xxd -r -p <<<"$hex" | od -An -v -tu1 | xargs
    done
}

lab_ptr_name() {
    local IFS=. a
    read -ra a <<<"$1"
    printf '%s.%s.%s.%s.in-addr.arpa' "${a[3]}" "${a[2]}" "${a[1]}" "${a[0]}"
}

lab_dns_queries() {
    local name=$1
    [[ ! $name =~ ^[0-9]+(\.[0-9]+){3}$ ]] || name=$(lab_ptr_name "$name")
    # Log lines read "... dnsmasq[pid]: query[TYPE] NAME from 127.0.0.1".
    awk -v n="$name" '
        $(NF - 3) ~ /^query\[[A-Za-z0-9]+\]$/ && $(NF - 1) == "from" &&
        tolower($(NF - 2)) == tolower(n) { count++ }
        END { print count + 0 }' "$LAB_DNS_LOG"
}

_lab_settle_count=0
lab_dns_settle() {
    local name=settle-$((++_lab_settle_count)).lab
    lab_exec getent hosts "$name" >/dev/null 2>&1
    # Logged as "... query[TYPE] NAME from 127.0.0.1".
    lab_await "$LAB_DNS_PID" grep -qF "] $name from " "$LAB_DNS_LOG"
}

lab_route_lines() {
    local i addr name
    for i in 1 2 3 4 5; do
        addr=LAB_HOP$i name=LAB_HOP${i}_NAME
        ((i < 5)) || addr=LAB_TARGET_ADDR name=LAB_TARGET_NAME
        name=${!name}
        [ "${2:-}" != numeric ] || name=""
        # "NAME [ADDRESS]", or the address alone when the hop shows no name.
        printf ' %d  %s%s\n' "$i" "$1" "${name:+$name [}${!addr}${name:+]}"
    done
}

lab_trace_text() {
    printf '\nTracing route to %s [%s] with TTL of 32:\n\n' "$LAB_TARGET_NAME" "$LAB_TARGET_ADDR"
    lab_route_lines "Nms    Nms    Nms    "
    printf '\nTraceroute complete.\n'
}
