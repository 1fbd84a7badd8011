# tests/e2e/cache_lib.sh: helpers for the end-to-end tests of the host-name cache file,
# the banner and the lab's DNS server, and the tools such a test needs. Source it after
# lib.sh (and, for dns_run, after the lab is up):
#   source "$here/cache_lib.sh"
#
#   need_tools PACKAGES TOOL...
#       Skips the test (e2e_skip) unless every TOOL is on the PATH, the reason naming
#       the packages to install; in CI (CI=true) that is the failed check "tools for the
#       test" instead, and the script ends there (e2e_finish).
#   cache_record ADDRESS NAME [ADDRESS NAME]...
#       Prints a record of a cache file for each pair: the four bytes of the dotted
#       ADDRESS, the length of NAME in bytes, then NAME's bytes as they are (any byte but
#       zero; empty for an address without a name).
#   expect_file NAME EXPECTED_FILE ACTUAL_FILE
#       The check NAME: ACTUAL_FILE exists and holds EXPECTED_FILE's bytes, byte for byte
#       (both shown with od -c when not).
#   cache_hex [FILE]
#       Prints FILE's bytes (standard input's without FILE) as one line of hex digits,
#       without a line end.
#   want_banner VERB NAME ADDRESS QUANTITY
#       Sets want to the banner "VERB NAME [ADDRESS] with QUANTITY:" (without NAME:
#       "VERB ADDRESS with QUANTITY:") between its empty lines, as the program prints it.
#   dns_run RUNNER ARGS...
#       Runs $program with ARGS in the lab's client through RUNNER (lab_exec or
#       lab_exec_nobody), the DNS server's log settled before and after; sets out and
#       status, and the number of queries the run sent: total (every one), ptr (the
#       reverse ones), for_name (those for its last argument) and for_ptr (those for the
#       address in $ptr_of, the lab's target when unset). Output on stderr fails a check.

need_tools() {
    local packages=$1 tool reason
    shift
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 && continue
        reason="$tool is not installed (apt-get install $packages)"
        if [ "${CI:-}" = true ]; then
            e2e_fail "tools for the test" "$reason"
            e2e_finish
        fi
        e2e_skip "$reason"
    done
}

cache_record() {
    local IFS=. a
    while (($# >= 2)); do
        read -ra a <<<"$1"
        # shellcheck disable=SC2059 # the format is the record's bytes as octal escapes
        printf "$(printf '\\%03o' "${a[@]}" "$(printf '%s' "$2" | wc -c)")"
        printf '%s' "$2"
        shift 2
    done
}

expect_file() {
    [ -f "$3" ] && cmp -s "$2" "$3"
    expect_true "$1" $? "expected bytes:" "$(od -An -c "$2")" "actual bytes:" "$(od -An -c "$3" 2>&1)"
}

cache_hex() {
    xxd -p "$@" | tr -d '\n'
}

# shellcheck disable=SC2034 # sets the caller's want
want_banner() {
    if [ -n "$2" ]; then
        printf -v want '\n%s %s [%s] with %s:\n\n' "$1" "$2" "$3" "$4"
    else
        printf -v want '\n%s %s with %s:\n\n' "$1" "$3" "$4"
    fi
}

# The DNS log's counts: every query but the settling ones, the reverse ones, those for
# the name or address $1 and those for $ptr_of.
_dns_counts() {
    awk '$(NF - 3) ~ /^query\[/ && $(NF - 2) !~ /^settle-/ { n++ }
        $(NF - 3) == "query[PTR]" { p++ }
        END { printf "%d %d ", n, p }' "$LAB_DNS_LOG"
    printf '%s %s\n' "$(lab_dns_queries "$1")" "$(lab_dns_queries "${ptr_of:-$LAB_TARGET_ADDR}")"
}

# shellcheck disable=SC2034 # sets the caller's variables
dns_run() {
    local runner=$1 last=${*: -1} err counts_before counts_after
    shift
    lab_dns_settle || e2e_fail "the DNS server logged a settling query"
    read -ra counts_before <<<"$(_dns_counts "$last")"
    e2e_run out err status "$runner" "$program" "$@"
    lab_dns_settle || e2e_fail "the DNS server logged a settling query"
    read -ra counts_after <<<"$(_dns_counts "$last")"
    total=$((counts_after[0] - counts_before[0]))
    ptr=$((counts_after[1] - counts_before[1]))
    for_name=$((counts_after[2] - counts_before[2]))
    for_ptr=$((counts_after[3] - counts_before[3]))
    [ -z "$err" ] || e2e_fail "nothing on stderr: $*" "$err"
}
