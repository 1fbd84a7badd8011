#!/usr/bin/env bash
# The bash completion (completion/tarnhop): options after "-", nothing for the value of
# a value option, host names for the target. Runs twice: inside a full bash-completion
# (when installed: _known_hosts_real gives the names) and in a bare bash that loads
# only our file (compgen's host names). No network, no lab.
set -u

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source_dir=${TARNHOP_SOURCE_DIR:-$E2E_DIR/../..}
completion=$source_dir/completion/tarnhop
bash_completion=/usr/share/bash-completion/bash_completion

work=$(mktemp -d "/tmp/tarnhop-completion.XXXXXX") || exit 1
trap 'rm -rf -- "$work"' EXIT

# A home of our own whose ssh known-hosts file names one host, and a host file that
# names two others; a file in the working folder that must never be offered.
mkdir -p "$work/home/.ssh" "$work/cwd"
echo "tarnhop-comp-gamma ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIB0dGFybmhvcA" \
    >"$work/home/.ssh/known_hosts"
printf '198.18.0.10 tarnhop-comp-alpha\n198.18.0.11 tarnhop-comp-beta\n' >"$work/hosts"
touch "$work/cwd/tarnhop-comp-file" "$work/cwd/-x-file"

# Runs inside the bash that complete_in starts: completes the command line "$1" (the
# cursor at its end) and prints COMPREPLY sorted, one word a line.
complete_line() {
    local line=$1
    COMP_LINE=$line
    COMP_POINT=${#line}
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    local registered
    registered=$(complete -p tarnhop) || { echo "NO COMPLETION REGISTERED"; return; }
    [[ $registered == *"-F _tarnhop "* ]] || { echo "UNEXPECTED REGISTRATION: $registered"; return; }
    _tarnhop tarnhop "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort
    return 0
}

# completes LINE EXPECTED [NAME]: in a fresh bash of the kind $kind, LINE completes to
# EXPECTED (newline separated, sorted); the check is "$kind: NAME", NAME being LINE unless
# given. The kinds: "full" (bash-completion, then our file, as bash-completion loads it on
# demand), "bare" (our file alone) or "loaded on demand" (bash-completion, which finds our
# file by the command's name in the folder the package installs it into, under $work/data).
completes() {
    local preamble="source '$completion'"
    case $kind in
    full) preamble="source '$bash_completion'; $preamble" ;;
    loaded*) preamble="source '$bash_completion'; __load_completion tarnhop || echo 'NOT LOADED'" ;;
    esac
    expect_eq "$kind: ${3:-$1}" "$2" "$(cd "$work/cwd" && HOME=$work/home HOSTFILE=$work/hosts \
        XDG_DATA_DIRS=$work/data BASH_COMPLETION_USER_DIR=$work/none bash --norc --noprofile -c \
        "$preamble; $(declare -f complete_line); complete_line \"\$1\"" complete "$1" 2>&1)"
}

# words WORD...: the words one a line, sorted as COMPREPLY is shown.
words() {
    printf '%s\n' "$@" | sort
}

kinds=(bare)
[ ! -r "$bash_completion" ] || kinds=(full bare)
[ "${kinds[0]}" = full ] || echo "note: bash-completion is not installed; only the bare bash is checked"

# The cases, a line each: LINE|WORDS|NAME. LINE completes to WORDS (space separated, none:
# nothing at all); the check is named NAME, LINE when NAME is empty. Options: all eleven
# after "-", narrowed by what is typed, again after a value. The value of a value option
# gets nothing: no option, no host, no file name, even when it starts with "-" (the
# option takes it all the same); only the letter counts: -t5 is -t and takes the next
# word. The target: host names, never file names.
for kind in "${kinds[@]}"; do
    while IFS='|' read -r line wanted name; do
        # shellcheck disable=SC2086 # the words are split on purpose
        completes "$line" "$(words $wanted)" "$name"
    done <"$E2E_DIR/expected/completion.txt"
    # The known-hosts file names its host in the full bash only.
    hosts="tarnhop-comp-alpha tarnhop-comp-beta"
    [ "$kind" = bare ] || hosts+=" tarnhop-comp-gamma"
    # shellcheck disable=SC2086 # the words are split on purpose
    completes "tarnhop tarnhop-comp-" "$(words $hosts)"
done

# Loaded the way bash-completion loads it on first use.
if [ "${kinds[0]}" = full ]; then
    install -D "$completion" "$work/data/bash-completion/completions/tarnhop"
    kind="loaded on demand"
    completes "tarnhop -" "$(words -c -d -i -l -n -o -p -t -u -v -w)"
fi

e2e_finish
