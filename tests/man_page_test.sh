#!/usr/bin/env bash
# The man page formats without a warning and agrees with the program: same
# version, every option of --help documented.
# Usage: man_page_test.sh MAN_PAGE SPANSIFT_BINARY
set -uo pipefail

page=$1
binary=$2
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if ! command -v groff >/dev/null; then
  echo "groff is missing (scripts/install-deps installs groff-base)"
  exit 1
fi

warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1 >/dev/null)
[[ -z "$warnings" ]] || fail "groff -ww -man warns:"$'\n'"$warnings"

# man-db formats for the terminal, where too long lines and bad breaks show.
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [[ -z "$warnings" ]] || fail "man --warnings warns:"$'\n'"$warnings"
else
  echo "note: man is missing, only groff checked"
fi

text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)

version=$("$binary" --version | awk '{print $2}')
grep -qE "^\.TH SPANSIFT 1 .*\"spansift $version\"" "$page" ||
  fail "the .TH line does not name version $version"

for option in $("$binary" --help | grep -oE -- '(^|[ ,])--?[A-Za-z][-A-Za-z]*' | tr -d ' ,'); do
  grep -qF -e "$option" <<<"$text" || fail "option $option of --help is not in the man page"
done

for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" SAFETY FILES EXAMPLES; do
  grep -qx "$section" <<<"$text" || fail "section $section is missing"
done

if ((failures)); then
  exit 1
fi
echo "man page formats cleanly and matches the program"
