#!/usr/bin/env bash
# completion_test.sh TOOL COMPLETION_DIR [bash|zsh]: the completion offers every command and long option the --help
# texts list and completes a few words; 77 without the shell. Sets are compared with builtins, not pipelines.
set -uo pipefail
tool=$1 dir=$2 shell=${3:-bash}
passed=0 failed=0
# check NAME EXPECTED ACTUAL: the two lists hold the same words.
check() {
    local -A want=() got=()
    local w
    for w in $2; do want[$w]=1; done
    for w in $3; do got[$w]=1; done
    local same=$(( ${#want[@]} == ${#got[@]} ))
    for w in "${!want[@]}"; do [[ -n ${got[$w]:-} ]] || same=0; done
    if ((same)); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED %s\n  expected: %s\n  got:      %s\n' "$1" "$2" "$3"
    fi
}
# help_of WORDS...: the tool's --help for the command WORDS (under the emulator in a cross-built tree).
help_of() {
    help=$(${ZORV_TEST_EMULATOR:+"$ZORV_TEST_EMULATOR"} "$tool" "$@" --help) || { echo "zorv-label $* --help failed"; exit 1; }
}
# The commands of the --help text in $help: the words under "Subcommands:".
commands_of() {
    local line inside=0
    commands=""
    while IFS= read -r line; do
        if [[ $line == Subcommands:* ]]; then inside=1
        elif [[ -z $line ]]; then inside=0
        elif ((inside)) && [[ $line =~ ^\ \ ([a-z][-a-z0-9]*)\  ]]; then commands+="${BASH_REMATCH[1]} "
        fi
    done <<<"$help"
}
# The long options of the --help text in $help, --help itself left out.
options_of() {
    local rest=$help
    options=""
    while [[ $rest =~ (--[a-z][-a-z0-9]*) ]]; do
        [[ ${BASH_REMATCH[1]} == --help ]] || options+="${BASH_REMATCH[1]} "
        rest=${rest#*"${BASH_REMATCH[1]}"}
    done
}
help_of
commands_of
known=$commands
[[ -n $known ]] || { echo "no commands in zorv-label --help"; exit 1; }

if [[ $shell == zsh ]]; then
    command -v zsh >/dev/null || { echo "zsh is not installed"; exit 77; }
    zsh -n "$dir/_zorv-label" && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED _zorv-label does not parse"; }
    script=$(<"$dir/_zorv-label")
    offered="" inside=0
    while IFS= read -r line; do
        if [[ $line == "commands=(" ]]; then inside=1
        elif [[ $line == ")" ]]; then inside=0
        elif ((inside)) && [[ $line =~ ^\ \ [\"\']([a-z][-a-z0-9]*): ]]; then offered+="${BASH_REMATCH[1]} "
        fi
    done <<<"$script"
    check "zsh offers the commands of --help" "$known" "$offered"
    for c in $known; do
        help_of "$c"
        options_of
        for o in $options; do
            [[ $script == *"$o"* ]] || { failed=$((failed + 1)); echo "FAILED zsh lacks $c $o"; continue; }
            passed=$((passed + 1))
        done
    done
    echo "$passed passed, $failed failed"
    ((failed == 0))
    exit
fi

# shellcheck source=/dev/null
source "$dir/zorv-label.bash"
check "complete -p" "complete -F _zorv_label zorv-label" "$(complete -p zorv-label)"
# complete_words WORDS...: sets $offered to the candidates for the last word.
complete_words() {
    COMP_WORDS=(zorv-label "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _zorv_label
    offered="${COMPREPLY[*]}"
}
complete_words ''; check "commands of --help" "$known" "$offered"
complete_words --json get ''; check "attributes" "inherit oid pkgid sid tid" "$offered"
complete_words del p; check "attribute prefix" "pkgid" "$offered"
complete_words package -t ''; check "package types" "drova lunvex package" "$offered"
complete_words package -t lunvex name list ''; check "the word after an option's value" "" "$offered"
complete_words file ''; check "file actions" "get set" "$offered"
complete_words watch tid in; check "watch topics" "inheritflag" "$offered"
# Each command's long options, and those of file's and hash's own commands.
for c in $known; do
    help_of "$c"
    commands_of
    for s in ${commands:-""}; do
        help_of $c $s
        options_of
        complete_words $c $s --
        got=""
        for o in $offered; do [[ $o == --help || $o == --json ]] || got+="$o "; done
        check "long options of $c $s" "$options" "$got"
    done
done
echo "$passed passed, $failed failed"
((failed == 0))
