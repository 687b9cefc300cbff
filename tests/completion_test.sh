#!/usr/bin/env bash
# The bash completion: what it offers for options, option values and INPUT.
# Usage: completion_test.sh COMPLETION_SCRIPT SPANSIFT_BINARY
set -uo pipefail

script=$(realpath "$1")
binary=$(realpath "$2")
# shellcheck source=/dev/null
source "$script"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir traces 'my traces' old.json
touch a.json b.txt c.JSON 'my traces/x.json' "it's.json"

failures=0

# complete WORD... : runs the completion with the cursor at the end of the
# last word and prints the offers, sorted, on one line.
complete_line() {
  COMP_WORDS=(spansift "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _spansift
  if ((${#COMPREPLY[@]})); then
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|' -
  else
    echo ""
  fi
}

expect() {
  local wanted=$1
  shift
  local got
  got=$(complete_line "$@")
  if [[ "$got" != "$wanted" ]]; then
    printf 'FAIL: spansift %s<TAB>\n  wanted: %s\n  got:    %s\n' "$*" "$wanted" "$got"
    failures=$((failures + 1))
  fi
}

# Options: every option of the program's help, and no other.
help_options=$("$binary" --help | grep -oE -- '(^|[ ,])--?[A-Za-z][-A-Za-z]*' |
  tr -d ' ,' | LC_ALL=C sort | paste -sd'|' -)
expect "$help_options" -
expect "--timezone-minutes|--trace-ids" --t
expect "--help" --he

# An option already given is not offered again.
expect "--help|--timezone-minutes|--version|-V|-h|-z" -t abc -
expect "--help|--timezone-minutes|--version|-V|-h|-z" --trace-ids = abc -

# INPUT: folders and files ending in .json (case matters), nothing else.
expect "a.json|it's.json|my traces|old.json|traces" ""
expect "a.json" a
expect "my traces" my
expect "my traces/x.json" 'my\ traces/'
expect "my traces/x.json" '"my traces/'
expect "it's.json" "it\\'"

# No completion for the values of -z and -t.
expect "" -z ""
expect "" --timezone-minutes ""
expect "" --timezone-minutes = ""
expect "" --timezone-minutes =
expect "" -t ""
expect "" --trace-ids = a

# A value is not INPUT; after INPUT only options are left.
expect "a.json|it's.json|my traces|old.json|traces" -t a.json ""
expect "a.json|it's.json|my traces|old.json|traces" -z 5 ""
expect "" a.json ""
expect "--help|--timezone-minutes|--trace-ids|--version|-V|-h|-t|-z" a.json -

# After "--" everything is INPUT, also names that start with "-".
expect "" -- -

if ((failures)); then
  echo "$failures completion case(s) failed"
  exit 1
fi
echo "all completion cases passed"
