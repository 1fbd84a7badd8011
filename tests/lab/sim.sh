# tests/lab/sim.sh: the simulated network (tests/tools/netsim) for end-to-end tests.
#
# A bash library; tests `source` it after tests/lab/lab.sh and start the simulator in
# a lab namespace (normally "$LAB_CLIENT"). The simulator owns a TUN device there with
# address SIM_ADDR (198.19.0.1) and the route 198.19.0.0/16, answers every probe sent
# into that range from a scenario (format: tests/sim/example.sim) and logs each probe.
#
# Functions (call them directly, not inside $(...)):
#   sim_start NS SCENARIO   start netsim in namespace NS. SCENARIO is a file, or "-" to
#                           read the scenario text from standard input (a here-document).
#                           A scenario with a mistake is refused with its line number.
#                           Returns once the device reads packets (status 0), or prints
#                           why and returns 1 after at most 10 s. A simulator still
#                           running is stopped first. lab_down calls sim_cleanup, so
#                           the simulator goes with the lab (also on EXIT, INT, TERM).
#   sim_stop                stop the simulator (TERM by pid, KILL after 3 s) and wait
#                           for it; its device goes with it. Idempotent; SIM_LOG stays.
#   sim_cleanup             sim_stop, then remove SIM_DIR. Safe to call any time.
#   sim_names NS ADDR NAME [ADDR NAME ...]
#                           give addresses reverse names through /etc/netns/NS/hosts
#                           (lab_up writes that file for the client; lab_down removes it)
#   sim_probes              print the log's probe lines, one per probe received:
#                             probe N t=MS icmp src=A dst=B ttl=T tos=X id=I seq=S len=L first=F wake_us=W
#                             probe N t=MS udp src=A dst=B ttl=T tos=X sport=P dport=Q ulen=U csum=C len=L first=F wake_us=W
#                           (t: ms since start when the probe left the client, as the
#                           kernel stamped it on the device; len: payload bytes after
#                           the ICMP or UDP header; first: first payload byte, "-" when
#                           there is none; wake_us: how much later the simulator read it.
#                           Chosen delays count from t, so a late wake-up of the
#                           simulator does not lengthen them)
#   sim_sent                print the log's lines for packets sent:
#                             sent probe=N t=MS late_us=U write_us=W from=A to=B ttl=T len=L : WHAT
#                           (late_us: how long after its chosen moment the write began;
#                           write_us: how long the write into the device took)
#   sim_fit_times VAR EXPECTED ACTUAL [LATE_MS]
#                           stores ACTUAL in VAR with every round-trip figure ("12ms",
#                           "time=12ms") that is one more than the figure at the same
#                           place of EXPECTED (same line, same order, same number of
#                           digits, except in a trace line's 7-column cells), or up to
#                           LATE_MS (0) more than that, replaced by the expected one. A test then compares VAR with EXPECTED
#                           exactly: each chosen delay must show as itself or one more
#                           (the probe's own way in and out adds a fraction of a
#                           millisecond), never less, never more, except by as much as
#                           the simulator itself sent an answer late (LATE_MS).
#   sim_probe_fields KEY...  print, per probe, the values of the named fields of its log
#                           line, space-separated ("sim_probe_fields ttl dport")
#
# For end-to-end tests (they also need tests/e2e/lib.sh and a lab from lab_up):
#   sim_modes               print the ways of probing a test covers, one word each: the
#                           mode that ctest gives in TARNHOP_MODE (each test that loops
#                           over $(sim_modes) is one ctest entry per mode), or all four
#   sim_mode MODE           how the next sim_run / sim_check runs tarnhop:
#                             icmp-raw    as root, ping sockets closed (raw ICMP socket)
#                             icmp-dgram  as nobody, ping sockets open (ICMP datagram socket)
#                             udp-raw     as root, -u (raw sockets)
#                             udp-dgram   as nobody, -u (ordinary UDP socket)
#   sim_run OUT ERR STATUS ARGS...
#                           e2e_run of "$TARNHOP" ARGS in the lab's client in that mode,
#                           at normal priority: tarnhop takes its times from the
#                           kernel's stamps, so a busy machine adds nothing to them
#   sim_check NAME EXPECTED ARGS...
#                           sim_run once, then checks (names prefixed with the mode):
#                           the output equals EXPECTED after sim_fit_times, with the
#                           whole milliseconds by which the simulator sent this run's
#                           latest answer late (its log's late_us), status 0, and
#                           nothing on stderr. A time that is off is a failure, and the
#                           simulator's log is shown with it.
#   sim_begin TEXT          sim_start in "$LAB_CLIENT" with the scenario TEXT; when it
#                           does not start, that is a failed check and the status is 1
#   sim_text VAR            stores standard input (a here-document) in VAR, whole
#   sim_sent_kinds KIND...  checks that the simulator sent each KIND (the text after ": "
#                           of a line of sim_sent, e.g. "noise icmp 5/1")
#   sim_check_waits TITLE TTL COUNT WAIT GAP SLACK LOWER
#                           checks that COUNT probes with TTL TTL went unanswered and
#                           that the time from each to the probe after it, as the
#                           simulator saw them arrive, lies between LOWER and WAIT (-w)
#                           plus GAP (-n) plus SLACK milliseconds
#   sim_case CASE           one case of tests/sim/cases (e.g. "times/delays"): sim_begin
#                           with CASE.sim, then sim_check with the title of its
#                           "# check:" line, CASE.out as the expected output and the
#                           arguments of its "# args:" line, sim_sent_kinds with the
#                           kinds of its "# sent:" lines, and for each of CASE.probes and
#                           CASE.probes-icmp or -udp (the mode's protocol) that exists, a
#                           check (its "# check:" title) that sim_probe_fields of its
#                           "# fields:" keys prints its other lines; status 1 when the
#                           simulator does not start
#
# Variables:
#   SIM_BIN       the netsim program (default $TARNHOP_BUILD_DIR/tests/tools/netsim/netsim)
#   SIM_ADDR      198.19.0.1: the device's address, the client's source for probes to
#                 the simulated range. Never a responder in a scenario.
#   SIM_PID       pid of the running simulator (empty when none)
#   SIM_LOG       log of the current (or last) simulator: probes, other packets that
#                 came in ("other ..."), packets sent
#   SIM_DEV       its TUN device name (per-run unique)
#   SIM_SCENARIO  the scenario file in use
#   SIM_NS        the namespace it runs in
#   SIM_DIR       temporary directory of scenarios and logs (removed by sim_cleanup)
#   SIM_CASES     tests/sim/cases: scenarios with their expected output, for sim_case

export SIM_ADDR=198.19.0.1
SIM_CASES=$(cd "$(dirname "${BASH_SOURCE[0]}")/../sim/cases" && pwd)

_sim_say() {
    printf 'sim: %s\n' "$*" >&2
}

sim_stop() {
    _lab_kill_pid "${SIM_PID:-}" netsim
    SIM_PID=""
}

sim_cleanup() {
    sim_stop
    [ -z "${SIM_DIR:-}" ] || rm -rf -- "$SIM_DIR"
    SIM_DIR=""
}

sim_start() {
    local ns=$1 scenario=$2 base
    [ -z "${SIM_PID:-}" ] || sim_stop
    SIM_NS=$ns
    if [ -z "${SIM_DIR:-}" ] || [ ! -d "$SIM_DIR" ]; then
        # On tmpfs when there is one: a log write must never wait for a busy disk.
        SIM_DIR=$(mktemp -d /dev/shm/tarnhop-sim.XXXXXX 2>/dev/null) ||
            SIM_DIR=$(mktemp -d /tmp/tarnhop-sim.XXXXXX) || return 1
    fi
    _SIM_COUNT=$((${_SIM_COUNT:-0} + 1))
    # This start's files: BASE.log, .sim (a scenario from standard input), .ready, .out.
    base=$SIM_DIR/$_SIM_COUNT
    # A new, empty log from here on: after a failed start nothing reads an old one.
    SIM_LOG=$base.log
    : >"$SIM_LOG"
    SIM_BIN=${SIM_BIN:-${TARNHOP_BUILD_DIR:-}/tests/tools/netsim/netsim}
    if [ ! -x "$SIM_BIN" ]; then
        _sim_say "no simulator program at $SIM_BIN"
        return 1
    fi
    SIM_SCENARIO=$scenario
    if [ "$scenario" = - ]; then
        SIM_SCENARIO=$base.sim
        cat >"$SIM_SCENARIO"
    fi
    "$SIM_BIN" --check "$SIM_SCENARIO" || return 1
    SIM_DEV=$(printf 'ts%x%04x' "$BASHPID" "$RANDOM")
    ip netns exec "$ns" "$SIM_BIN" --scenario "$SIM_SCENARIO" --dev "$SIM_DEV" \
        --addr "$SIM_ADDR/16" --log "$SIM_LOG" --ready "$base.ready" </dev/null >"$base.out" 2>&1 &
    SIM_PID=$!
    export SIM_LOG SIM_PID SIM_DEV SIM_DIR SIM_SCENARIO
    lab_await "$SIM_PID" test -e "$base.ready" && return 0
    _sim_say "netsim did not start in $ns: $(cat "$base.out" 2>/dev/null)"
    sim_stop
    return 1
}

sim_names() {
    local file=/etc/netns/$1/hosts
    if [ ! -f "$file" ]; then
        _sim_say "$file does not exist (the lab writes it for its client namespace)"
        return 1
    fi
    # The format takes the pairs one after the other.
    printf '%s\t%s\n' "${@:2}" >>"$file"
}

sim_probes() {
    grep '^probe ' "$SIM_LOG"
}

sim_sent() {
    grep '^sent ' "$SIM_LOG"
}

sim_fit_times() {
    local _sim_fitted
    _sim_fitted=$(printf '%s' "$3" | SIM_WANT=$2 awk -v late="${4:-0}" '
        BEGIN { split(ENVIRON["SIM_WANT"], wanted, "\n") }
        {
            line = $0; w = wanted[NR]; out = ""
            trace = line ~ /^ *[0-9]+  /
            while (match(line, /[0-9]+ms/)) {
                start = RSTART; len = RLENGTH
                got = substr(line, start, len - 2)
                chosen = ""
                if (match(w, /[0-9]+ms/)) {
                    chosen = substr(w, RSTART, RLENGTH - 2)
                    w = substr(w, RSTART + RLENGTH)
                }
                pad = ""
                if (chosen != "" && got + 0 > chosen + 0 && got + 0 <= chosen + 1 + late &&
                    (length(got) == length(chosen) || (trace && length(got) + 2 <= 7))) {
                    # A longer figure took its 7-column cell'"'"'s padding.
                    for (i = length(chosen); i < length(got); i++)
                        pad = pad " "
                    got = chosen
                }
                out = out substr(line, 1, start - 1) got "ms" pad
                line = substr(line, start + len)
            }
            printf "%s%s\n", out, line
        }' && printf x)
    _sim_fitted=${_sim_fitted%x}
    # awk ends every line; keep ACTUAL's own ending.
    [ "${3: -1}" = $'\n' ] || [ -z "$3" ] || _sim_fitted=${_sim_fitted%$'\n'}
    printf -v "$1" '%s' "$_sim_fitted"
}

sim_probe_fields() {
    sim_probes | awk -v keys="$*" '
        BEGIN { n = split(keys, key, " ") }
        {
            delete value
            for (i = 1; i <= NF; i++)
                if ((eq = index($i, "=")) > 0)
                    value[substr($i, 1, eq - 1)] = substr($i, eq + 1)
            for (k = 1; k <= n; k++)
                printf "%s%s", value[key[k]], (k < n ? " " : "\n")
        }'
}

sim_modes() {
    printf '%s\n' "${TARNHOP_MODE:-icmp-raw icmp-dgram udp-raw udp-dgram}"
}

sim_mode() {
    if [[ ! $1 =~ ^(icmp|udp)-(raw|dgram)$ ]]; then
        _sim_say "sim_mode: unknown mode '$1'"
        return 2
    fi
    SIM_MODE=$1 SIM_RUNNER=lab_exec SIM_KIND=()
    [[ $1 != *-dgram ]] || SIM_RUNNER=lab_exec_nobody
    [[ $1 != udp-* ]] || SIM_KIND=(-u)
    # Ping sockets open for the ICMP datagram socket only.
    lab_ping_sockets "$([ "$1" = icmp-dgram ] && echo open || echo closed)"
}

sim_run() {
    e2e_run "$1" "$2" "$3" "$SIM_RUNNER" "$TARNHOP" "${SIM_KIND[@]}" "${@:4}"
}

sim_check() {
    local name="$SIM_MODE: $1" expected=$2 out err st fitted before late
    shift 2
    before=$(sim_sent | wc -l)
    sim_run out err st "$@"
    # An answer the simulator sent late really took that much longer.
    late=$(sim_sent | tail -n +$((before + 1)) | sed -n 's/.* late_us=\([0-9]*\) .*/\1/p' |
        sort -n | tail -n 1)
    late=$((${late:-0} / 1000))
    ((late == 0)) || printf '    (%s: the simulator sent an answer %d ms late)\n' "$name" "$late"
    sim_fit_times fitted "$expected" "$out" "$late"
    expect_eq "$name: output" "$expected" "$fitted"
    if [ "$fitted" != "$expected" ] && [ -n "${SIM_LOG:-}" ]; then
        # Tells a late simulator from a late measurement.
        printf '    simulator log of this run:\n'
        sed 's/^/    : /' "$SIM_LOG"
    fi
    expect_status "$name: status" 0 "$st"
    expect_eq "$name: nothing on stderr" "" "$err"
}

sim_begin() {
    sim_start "$LAB_CLIENT" - <<<"$1" && return 0
    e2e_fail "${SIM_MODE:-sim}: the simulator starts"
    return 1
}

sim_text() {
    IFS= read -r -d '' "$1" || true
}

sim_case() {
    local case=$SIM_CASES/$1 title want args sent file keys
    title=$(sed -n 's/^# check: //p' "$case.sim")
    read -r -a args <<<"$(sed -n 's/^# args: //p' "$case.sim")"
    mapfile -t sent < <(sed -n 's/^# sent: //p' "$case.sim")
    sim_text want <"$case.out"
    sim_begin "$(<"$case.sim")" || return 1
    sim_check "$title" "$want" "${args[@]}"
    sim_sent_kinds "${sent[@]}"
    # The probes of every way of probing, then those of this mode's protocol only.
    for file in "$case.probes" "$case.probes-${SIM_MODE%%-*}"; do
        [ -f "$file" ] || continue
        read -r -a keys <<<"$(sed -n 's/^# fields: //p' "$file")"
        expect_eq "$SIM_MODE: $(sed -n 's/^# check: //p' "$file")" "$(grep -v '^#' "$file")" \
            "$(sim_probe_fields "${keys[@]}")"
    done
    return 0
}

sim_sent_kinds() {
    local sent kind
    sent=$(sim_sent)
    for kind in "$@"; do
        expect_contains "$SIM_MODE: the simulator sent: $kind" "$sent" ": $kind"
    done
}

sim_check_waits() {
    local title=$1 ttl=$2 count=$3 wait=$4 gap=$5 slack=$6 lower=$7 intervals interval
    intervals=$(sim_probe_fields t ttl | awk -v ttl="$ttl" '
        previous_ttl == ttl { printf "%d\n", $1 - previous_t }
        { previous_t = $1; previous_ttl = $2 }')
    expect_eq "$title: $count probes waited at the silent hop" "$count" \
        "$(printf '%s\n' "$intervals" | grep -c .)"
    while read -r interval; do
        [ -n "$interval" ] || continue
        ((interval >= lower && interval <= wait + gap + slack))
        expect_true "$title: an unanswered probe waited ${interval} ms with -w $wait -n $gap" $? \
            "from $lower to $((wait + gap + slack)) ms were due"
    done <<<"$intervals"
}
