#!/usr/bin/env bash
# completion_test.sh TOOL COMPLETION_DIR [bash|zsh]: the shell completion of
# zorv-label offers every command the tool lists in --help and, in bash, every
# long option each command's --help lists, and completes a few words as it
# should. Exit 77 (skipped) when the shell is not installed.
set -uo pipefail
tool=$1 dir=$2 shell=${3:-bash}
passed=0 failed=0
check() { # check NAME EXPECTED ACTUAL
    if [[ "$2" == "$3" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED %s\n  expected: %s\n  got:      %s\n' "$1" "$2" "$3"
    fi
}
sorted() { tr ' ' '\n' | sed '/^$/d' | sort -u | tr '\n' ' '; }
# The commands of a --help text: the words under "Subcommands:".
commands_of() { sed -n '/^Subcommands:/,/^$/{s/^  \([a-z][-a-z0-9]*\) .*/\1/p}'; }
# The long options of a --help text.
options_of() { grep -o -- '--[a-z][-a-z0-9]*' | grep -v -- '--help' | sort -u; }
known=$("$tool" --help | commands_of | sorted)
[[ -n $known ]] || { echo "no commands in zorv-label --help"; exit 1; }

if [[ $shell == zsh ]]; then
    command -v zsh >/dev/null || { echo "zsh is not installed"; exit 77; }
    zsh -n "$dir/_zorv-label" && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED _zorv-label does not parse"; }
    offered=$(sed -n "/^commands=(/,/^)/{s/^  [\"']\([a-z][-a-z0-9]*\):.*/\1/p}" "$dir/_zorv-label" | sorted)
    check "zsh offers the commands of --help" "$known" "$offered"
    for c in $known; do
        for o in $("$tool" "$c" --help | options_of); do
            grep -q -- "$o" "$dir/_zorv-label" || { failed=$((failed + 1)); echo "FAILED zsh lacks $c $o"; continue; }
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
complete_words() { # the candidates for the last of the words given
    COMP_WORDS=(zorv-label "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _zorv_label
    printf '%s\n' "${COMPREPLY[@]}" | sorted
}
check "commands of --help" "$known" "$(complete_words '')"
check "attributes" "inherit oid pkgid sid tid " "$(complete_words --json get '')"
check "attribute prefix" "pkgid " "$(complete_words del p)"
check "package types" "drova lunvex package " "$(complete_words package -t '')"
check "the word after an option's value" "" "$(complete_words package -t lunvex name list '')"
check "file actions" "get set " "$(complete_words file '')"
check "watch topics" "inheritflag " "$(complete_words watch tid in)"
# Each command's long options, and those of file's and hash's own commands.
for c in $known; do
    subs=$("$tool" "$c" --help | commands_of)
    for s in ${subs:-""}; do
        want=$("$tool" $c $s --help | options_of | sorted)
        got=$(complete_words $c $s -- | tr ' ' '\n' | grep -- '^--' | grep -v -- '--help' | grep -v -- '--json' | sorted)
        check "long options of $c $s" "$want" "$got"
    done
done
echo "$passed passed, $failed failed"
((failed == 0))
