# tests/e2e/lib.sh: checks and helpers shared by tarnhop's end-to-end test scripts.
#
# Source it from a test script (bash only, no other dependencies):
#   here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
#   source "$here/lib.sh"
#   source "$here/../lab/lab.sh"      # when the test needs the network lab
#
# Every check prints "ok - NAME" or "FAIL - NAME" (with details) and counts
# itself; e2e_finish prints the totals and ends the script. E2E_DIR is this folder.
#
#   e2e_run OUTVAR ERRVAR STATUSVAR CMD...
#       Runs CMD (a program or a shell function such as lab_exec) with stdin from
#       /dev/null; stores its stdout and its stderr byte for byte (trailing
#       newlines kept; NUL bytes are not supported) and its exit status in the
#       named variables. Never fails itself, also under `set -e`.
#   expect_eq NAME EXPECTED ACTUAL
#       Exact comparison; on a mismatch prints a unified diff of both texts
#       through `cat -A` (line ends as '$', tabs as '^I', other control and
#       high bytes visible; a missing final newline shows as a missing '$').
#   expect_status NAME EXPECTED ACTUAL      exit statuses, compared as numbers
#   expect_contains NAME TEXT NEEDLE        NEEDLE occurs in TEXT (fixed string)
#   expect_not_contains NAME TEXT NEEDLE    NEEDLE does not occur in TEXT
#   expect_match NAME TEXT REGEX            some line of TEXT matches REGEX (grep -E)
#   expect_no_match NAME TEXT REGEX         no line of TEXT matches REGEX
#   e2e_check_run FILTER TITLE WANT_OUT WANT_STATUS CMD...
#       Runs CMD (e2e_run; out, err and st are set for the caller) and checks
#       "TITLE: output" (its stdout through FILTER, cat or mask_times) is WANT_OUT,
#       "TITLE: status" is WANT_STATUS and "TITLE: nothing on stderr".
#   expect_clean_run TITLE WANT_OUT CMD...     the same with cat, status 0
#   expect_masked_run TITLE WANT_OUT CMD...    the same with mask_times, status 0
#   e2e_expected VAR NAME
#       VAR gets tests/e2e/expected/NAME.out whole: a lab run's output, times masked.
#   expect_out NAME EXPECTED ACTUAL
#       expect_eq against tests/e2e/expected/EXPECTED.out (e2e_expected).
#   e2e_check_rows PREFIX ROWS CMD...
#       expect_masked_run for each line "TITLE|NAME|ARGS" of ROWS: "PREFIX: TITLE" is
#       the run of CMD ARGS (ARGS split at blanks) against expected/NAME.out.
#   expect_true NAME STATUS [DETAIL...]
#       Passes when STATUS (the $? of a test made just before) is 0, else fails with DETAIL.
#   e2e_pass NAME / e2e_fail NAME [DETAIL...]   record a check made by hand
#   e2e_finish
#       Prints "N passed, M failed" on a line of its own and exits: status 1
#       when a check failed or when no check ran at all, otherwise 0.
#   e2e_skip REASON        prints the reason and exits 77 (ctest: skipped)
#   e2e_require_tarnhop    fails the test at once unless $TARNHOP is an executable
#   e2e_lab [sim]
#       The preamble of a test on the network lab: needs $TARNHOP, loads the lab helpers
#       (with "sim", the simulator's too), builds the lab, lets nobody pass $LAB_DIR and
#       copies the program to $LAB_DIR/bin (e2e_copy_program), the cache file beside it.
#       When the script defines e2e_on_lab_down, lab_down calls it last (also when lab_up
#       gives up and ends the script), for the script's own cleanup.
#   e2e_copy_program DIR
#       Copies $TARNHOP to DIR/tarnhop (DIR made if need be) where nobody may run it,
#       whatever the build directory allows, and sets `program` to it; the cache file of
#       that copy is DIR/tarnhop.cache. The folders above DIR must let nobody pass.
#   exactly VAR CMD...
#       VAR gets CMD's whole standard output, final newlines included.
#
#   e2e_as root|nobody CMD...
#       CMD in the lab's client namespace as root (lab_exec) or as nobody (lab_exec_nobody).
#   e2e_captured FILTER CMD...
#       Runs CMD (e2e_run: out, err and st) while r1 captures on its client side what
#       FILTER matches (tcpdump's filter words in one string, split at blanks), and sets
#       `shown` to out with its times masked. When the capture does not start, that is
#       recorded as a failure, CMD does not run and the status is 1.
#   expect_within NAME LOW HIGH VALUE       LOW <= VALUE <= HIGH (integers)
#   e2e_icmp_in      prints how many ICMP messages the client namespace has received
#   e2e_flood SECONDS
#       ping -f from the client to the lab's target for SECONDS in the background (lab_bg;
#       `flood_pid` is its pid, for lab_bg_stop), returning once it has had time to start.
#
#   e2e_lab_route named|numeric
#       The lab's route to its target as a run with one probe a hop shows it once masked
#       (mask_times): the five hop lines, hop 3 without a name, then a blank line and
#       "Traceroute complete.". With "numeric" (-d) no hop shows a name.
#
#   mask_times  (a filter, stdin to stdout)
#       Hides round-trip figures so that output can be compared exactly:
#       1. every "time=<digits>ms" becomes "time=Nms" (ping-only reply lines);
#       2. every other "<digits>ms" that starts a word (at the start of a line,
#          after a character that is not a letter or digit, or right after an
#          earlier "ms", as when a 7-column cell is full) becomes "Nms" followed
#          by one space for each digit removed beyond the first, so a time cell
#          keeps its width: "12ms   " -> "Nms    ", "0ms    " -> "Nms    ",
#          "10000ms" -> "Nms    " and "10000ms3ms    " -> "Nms    Nms    ".
#       So a hop line " 1  3ms    12ms   10000ms r1.lab [198.18.1.2]" reads
#       " 1  Nms    Nms    Nms    r1.lab [198.18.1.2]". Text without such figures
#       passes unchanged, byte for byte (a missing final newline stays missing).
#       A cell cut inside "ms" (100000 ms and more) is not recognised.
#   mask_times_into VAR TEXT
#       Stores TEXT passed through mask_times in VAR, trailing newlines kept.

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_PASSED=0
E2E_FAILED=0

e2e_pass() {
    E2E_PASSED=$((E2E_PASSED + 1))
    printf 'ok - %s\n' "$1"
}

e2e_fail() {
    E2E_FAILED=$((E2E_FAILED + 1))
    printf 'FAIL - %s\n' "$1"
    (($# < 2)) || printf '%s\n' "${@:2}" | sed 's/^/    /'
}

e2e_run() {
    local _e2e_tmp _e2e_status=0
    _e2e_tmp=$(mktemp -d "${TMPDIR:-/tmp}/tarnhop-e2e.XXXXXX") || {
        e2e_fail "e2e_run: mktemp failed"
        printf -v "$3" '%s' 255
        return 0
    }
    "${@:4}" </dev/null >"$_e2e_tmp/out" 2>"$_e2e_tmp/err" || _e2e_status=$?
    exactly "$1" cat "$_e2e_tmp/out"
    exactly "$2" cat "$_e2e_tmp/err"
    printf -v "$3" '%s' "$_e2e_status"
    rm -rf -- "$_e2e_tmp"
}

expect_true() {
    if (($2 == 0)); then
        e2e_pass "$1"
    else
        e2e_fail "$1" "${@:3}"
    fi
}

# shellcheck disable=SC2154 # e2e_run sets out, err and st
e2e_check_run() {
    local shown
    e2e_run out err st "${@:5}"
    exactly shown "$1" < <(printf '%s' "$out")
    expect_eq "$2: output" "$3" "$shown"
    expect_status "$2: status" "$4" "$st"
    expect_eq "$2: nothing on stderr" "" "$err"
}

expect_clean_run() {
    e2e_check_run cat "$1" "$2" 0 "${@:3}"
}

expect_masked_run() {
    e2e_check_run mask_times "$1" "$2" 0 "${@:3}"
}

e2e_expected() {
    exactly "$1" cat "$E2E_DIR/expected/$2.out"
}

expect_out() {
    local want
    e2e_expected want "$2"
    expect_eq "$1" "$want" "$3"
}

e2e_check_rows() {
    local title name args want
    while IFS='|' read -r title name args; do
        e2e_expected want "$name"
        read -r -a args <<<"$args"
        expect_masked_run "$1: $title" "$want" "${@:3}" "${args[@]}"
    done <<<"$2"
}

# TEXT with control characters made visible (cat -A), each line after "| ".
_e2e_show() {
    printf '%s' "$1" | cat -A | sed 's/^/| /'
}

expect_eq() {
    if [ "$2" == "$3" ]; then
        e2e_pass "$1"
    else
        e2e_fail "$1" "$(diff -u --label expected --label actual <(_e2e_show "$2") <(_e2e_show "$3"))"
    fi
}

expect_status() {
    [[ $2 =~ ^[0-9]+$ && $3 =~ ^[0-9]+$ ]] && (($2 == $3))
    expect_true "$1" $? "expected exit status $2, got $3"
}

# Records NAME as passed when HOLDS is 0 (a status), else shows WHAT was expected of
# NEEDLE in TEXT; the four text checks below only work out HOLDS.
_e2e_text_check() {
    expect_true "$1" "$2" "expected $3:" "$(_e2e_show "$4")" "in:" "$(_e2e_show "$5")"
}

expect_contains() {
    [[ $2 == *"$3"* ]]
    _e2e_text_check "$1" $? "to find" "$3" "$2"
}

expect_not_contains() {
    [[ $2 != *"$3"* ]]
    _e2e_text_check "$1" $? "NOT to find" "$3" "$2"
}

expect_match() {
    printf '%s\n' "$2" | grep -Eq -- "$3"
    _e2e_text_check "$1" $? "a line matching" "$3" "$2"
}

expect_no_match() {
    ! printf '%s\n' "$2" | grep -Eq -- "$3"
    _e2e_text_check "$1" $? "no line matching" "$3" "$2"
}

e2e_lab_route() {
    lab_route_lines "Nms    " "$1"
    printf '\nTraceroute complete.\n'
}

e2e_as() {
    local runner=lab_exec
    [ "$1" = root ] || runner=lab_exec_nobody
    "$runner" "${@:2}"
}

e2e_captured() {
    local filter
    read -r -a filter <<<"$1"
    lab_capture_start "${filter[@]}" || {
        e2e_fail "capture of $1 starts"
        return 1
    }
    e2e_run out err st "${@:2}"
    lab_capture_stop
    mask_times_into shown "$out"
}

expect_within() {
    (($2 <= ${4:-0} && ${4:-0} <= $3))
    expect_true "$1" $? "got ${4:-nothing}, want $2 to $3"
}

e2e_icmp_in() {
    # shellcheck disable=SC2016 # an awk program
    lab_exec awk '$1 == "Icmp:" && $2 ~ /^[0-9]+$/ { print $2 }' /proc/net/snmp
}

e2e_flood() {
    lab_bg client ping -f -q -w "$1" "$LAB_TARGET_ADDR" >/dev/null 2>&1
    # shellcheck disable=SC2034 # for the caller
    flood_pid=$LAB_BG_PID
    sleep 0.2
}

mask_times() {
    sed -E \
        -e 's/time=[0-9]+ms/time=Nms/g' \
        -e ':shrink' \
        -e 's/(^|[^0-9A-Za-z]|ms)[0-9]([0-9]+ms)/\1\2 /' \
        -e 't shrink' \
        -e 's/(^|[^0-9A-Za-z]|ms)[0-9]ms/\1Nms/g'
}

mask_times_into() {
    exactly "$1" mask_times < <(printf '%s' "$2")
}

e2e_skip() {
    printf 'skipped: %s\n' "$*"
    exit 77
}

e2e_require_tarnhop() {
    [ -x "${TARNHOP:-}" ] && return 0
    printf 'FAIL - TARNHOP is not set to an executable (got "%s"); run through ctest\n' "${TARNHOP:-}"
    exit 1
}

e2e_lab() {
    e2e_require_tarnhop
    source "$E2E_DIR/../lab/lab.sh"
    [ "${1:-}" != sim ] || source "$E2E_DIR/../lab/sim.sh"
    lab_up
    chmod 711 "$LAB_DIR"
    e2e_copy_program "$LAB_DIR/bin"
}

e2e_copy_program() {
    install -d -m 755 -- "$1"
    install -m 755 -- "$TARNHOP" "$1/tarnhop"
    program=$1/tarnhop
}

exactly() {
    local _e2e_text
    _e2e_text=$("${@:2}" && printf x)
    printf -v "$1" '%s' "${_e2e_text%x}"
}

e2e_finish() {
    printf '%d passed, %d failed\n' "$E2E_PASSED" "$E2E_FAILED"
    ((E2E_PASSED > 0)) || printf 'no check ran\n'
    ((E2E_FAILED == 0 && E2E_PASSED > 0))
    exit
}
