#!/usr/bin/env bash
# A shell's completion: what it offers for options, option values and INPUT.
# Usage: completion_test.sh bash|zsh|fish COMPLETION_SCRIPT SPANSIFT_BINARY
set -uo pipefail

shell=$1
script=$(realpath "$2")
binary=$(realpath "$3")
if ! command -v "$shell" >/dev/null; then
  echo "$shell is missing (scripts/install-deps installs it)"
  exit 1
fi
if [[ $shell == bash ]]; then
  # shellcheck source=/dev/null
  source "$script"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir traces 'my traces' old.json
touch a.json b.txt c.JSON 'my traces/x.json' "it's.json"

failures=0

# complete WORD... : runs the completion with the cursor at the end of the
# last word and prints the offers, sorted, on one line. zsh and fish take the
# line after "spansift " as one word.
# shellcheck disable=SC2016 # the zsh and fish scripts expand their own words
complete_line() {
  case $shell in
    bash)
      COMP_WORDS=(spansift "$@")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMP_LINE="${COMP_WORDS[*]}"
      COMP_POINT=${#COMP_LINE}
      COMPREPLY=()
      _spansift
      ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}"
      ;;
    # zsh completes only in its line editor, so a zsh on a pty types the line
    # and a Tab; compadd is wrapped to write down what it is given to add
    # (options twice: _arguments first filters them through compadd -D).
    zsh)
      rm -f offers
      timeout 10 zsh -f -c 'zmodload zsh/zpty && zpty z zsh -f -i || exit 1
        zpty -w z "fpath=(${(q)1:h} \$fpath); autoload -Uz compinit; compinit -u -D"
        zpty -w z "compadd() { local -a h; builtin compadd -A h \"\$@\"; print -rl -- \$h >>offers; builtin compadd \"\$@\"; }"
        zpty -w z "comppostfuncs=(exit); bindkey \"^I\" complete-word"
        zpty -w -n z "spansift $2"
        while zpty -r z chunk; do :; done' zsh "$script" "$1"$'\t'
      [[ -f offers ]] && sed '/^$/d' offers | LC_ALL=C sort -u
      ;;
    fish) timeout 10 fish --no-config -c 'source $argv[1]; complete -C "spansift $argv[2]"' "$script" "$1" | cut -f1 ;;
  esac | LC_ALL=C sort | paste -sd'|' -
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

if [[ $shell != bash ]]; then
  expect "--help|--timezone-minutes|--version|-V|-h|-z" "-t x -"
  expect "" "-z "
  # INPUT: folders and .json files; never b.txt, even when nothing else fits.
  if [[ $shell == zsh ]]; then
    expect "a.json|it\\'s.json|my\\ traces|old.json|traces" ""
  else
    expect "a.json|it's.json|my traces/|old.json/|traces/" ""
    # shellcheck disable=SC2016
    got=$(timeout 10 fish --no-config -c 'source $argv[1]; complete -C "spansift --"' "$script")
    wanted=$'--help\tPrint help\n--timezone-minutes\n--trace-ids\tThe default sources is the current folder\n--version\tPrint version'
    [[ $got == "$wanted" ]] || { echo "FAIL: fish help texts:"$'\n'"$got"; failures=$((failures + 1)); }
  fi
  expect "" b
  ((failures == 0)) || exit 1
  echo "all $shell completion cases passed"
  exit 0
fi

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
