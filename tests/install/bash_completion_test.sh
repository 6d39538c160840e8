#!/usr/bin/env bash
# Sources the bash completion as bash would and checks what it offers.
set -uo pipefail
completion="$(realpath "$1")"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/quelby-completion-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
mkdir alpha beta "with space"
touch gamma

# shellcheck source=/dev/null
source "$completion"
function="$(complete -p quelby-cli 2>/dev/null | sed -n 's/.*-F \([^ ]*\) quelby-cli$/\1/p')"
[[ -n "$function" ]] || { echo "FAIL: quelby-cli has no completion function" >&2; exit 1; }

failures=0
# expect "OFFERED WORDS" WORD... : the last word is the one being completed.
expect() {
    local want="$1"
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$function" quelby-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got
    got="$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')"
    if [[ "$got" != "$want" ]]; then
        echo "FAIL: '$*' offered '$got', expected '$want'" >&2
        failures=$((failures + 1))
    fi
}

expect "check export import repair retag scrub status tag" quelby-cli ""
expect "retag" quelby-cli ret
expect "check export import repair retag scrub status tag" quelby-cli --jobs 4 ""
expect "scrub status" quelby-cli s
expect "--every --exclude --exclude-from" quelby-cli scrub --e
expect "--state" quelby-cli status --s
expect "" quelby-cli check --ev
expect "gamma" quelby-cli scrub --metrics g
expect "gamma" quelby-cli status --state = g
expect "alpha" quelby-cli scrub --for 2h --budget 20G --every 14 al
expect "" quelby-cli scrub --every ""
expect "manifest" quelby-cli scrub --store m
expect "alpha beta with space" quelby-cli --state s.sqlite status ""
expect "--exclude --exclude-from --explain" quelby-cli check --ex
expect "--exclude --exclude-from" quelby-cli -v retag --ex
expect "--only-edited" quelby-cli retag --onl
expect "--new-only" quelby-cli tag --new
expect "" quelby-cli retag --new
expect "--dry-run" quelby-cli retag --dr
expect "disk" quelby-cli check --order d
expect "alpha" quelby-cli --order name check al
expect "--order" quelby-cli scrub --or
expect "" quelby-cli export --or
expect "" quelby-cli check --onl
expect "--also-unknown" quelby-cli repair --al
expect "alpha beta with space" quelby-cli repair --from ""
expect "alpha" quelby-cli repair --from = al
expect "alpha" quelby-cli check -b 64K al
expect "alpha beta with space" quelby-cli tag --times ""
expect "gamma" quelby-cli check --exclude-from g
expect "--progress" quelby-cli repair --pro
expect "--tag" quelby-cli export --ta
expect "" quelby-cli check --ta
expect "gamma" quelby-cli import g
expect "" quelby-cli check --exclude g
expect "" quelby-cli --buffer ""
((failures == 0)) || exit 1
echo "ok"
