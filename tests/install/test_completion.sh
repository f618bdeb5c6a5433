#!/usr/bin/env bash
# The bash completion against the built tool: what it offers comes from the tool's help.
# Usage: test_completion.sh VARNEL COMPLETION_SCRIPT
set -uo pipefail
varnel=$(realpath "$1")
source "$2"
work=$(mktemp -d "${TMPDIR:-/tmp}/varnel-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" && touch scale.json

failures=0
# check is|has "COMMAND LINE" WORD...: the completions at the end of the line are exactly (is)
# or include (has) the words.
check() {
    local mode=$1 line=$2
    shift 2
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_WORDS[0]=$varnel
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _varnel
    local got want
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    want=$(printf '%s\n' "$@" | sort | xargs)
    if [[ $mode == is && $got != "$want" ]]; then
        echo "FAIL: '$line' completes to '$got', not '$want'"
        failures=$((failures + 1))
    fi
    for w in "$@"; do
        if [[ $mode == has && " $got " != *" $w "* ]]; then
            echo "FAIL: '$line' completes to '$got', without '$w'"
            failures=$((failures + 1))
        fi
    done
}

check is "varnel mon" monitor
check has "varnel " monitor simulate form ports about demo
check is "varnel form s" set show
check has "varnel monitor --" --device --json --form --help
check is "varnel monitor --de" --device
check is "varnel monitor --json --fo" --form
check is "varnel monitor --form sc" scale.json
check is "varnel form show " scale.json
check is "varnel simulate --layout lb-oz-q" lb-oz-quarters
check is "varnel simulate --layout =" kg lb-oz-tenths g lb-oz-quarters
check is "varnel simulate --layout = k" kg
check is "varnel simulate --layout kg --p" --pty

[[ $failures -eq 0 ]] && echo "completion: all passed"
exit $((failures > 0))
