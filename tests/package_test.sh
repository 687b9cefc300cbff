#!/usr/bin/env bash
# Builds the Debian package into a temporary folder, unpacks it into a
# temporary root with dpkg-deb -x and checks what installing it would give:
# exactly the binary, the man page and the bash, zsh and fish completions; a
# binary whose libraries all resolve and that runs; and a Depends field that
# names the package of every shared library the binary links (ICU, Boost.JSON
# when it is linked as a shared library, the C++ runtime, libc). A statically
# linked binary (the arm64 cross build's) must link none and the package
# depend on nothing; a cross build's binary is run through its emulator.
# Usage: package_test.sh CPACK BUILD_DIR SOURCE_DIR VERSION [ARCH [EMULATOR...]]
# (ARCH empty or left out: the machine's own.)
set -uo pipefail

cpack=$1
build_dir=$2
source_dir=$3
version=$4
arch=${5:-}
emulator=("${@:6}")

# Not a Debian system: nothing to test. (Status 77 is reported as skipped.)
if ! command -v dpkg-deb >/dev/null; then
  echo "dpkg-deb is missing: not a Debian system, package test skipped"
  exit 77
fi
for tool in dpkg-shlibdeps ldd readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing (scripts/install-deps installs what the package test needs)"
    exit 1
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Packaged into a folder of its own, so that a `make package` running at the
# same time and the .deb it leaves in the build folder are not touched.
if ! "$cpack" --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack failed"
  exit 1
fi

[[ -n "$arch" ]] || arch=$(dpkg --print-architecture)
deb="$work/out/spansift_${version}_${arch}.deb"
if [[ ! -f "$deb" ]]; then
  cat "$work/cpack.log"
  fail "no package $(basename "$deb"); cpack made: $(ls "$work/out")"
  exit 1
fi

echo "== dpkg-deb -I $(basename "$deb")"
dpkg-deb -I "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == spansift ]] || fail "Package is '$(field Package)'"
[[ "$(field Version)" == "$version" ]] || fail "Version is '$(field Version)'"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture is '$(field Architecture)'"
[[ -n "$(field Maintainer)" ]] || fail "no Maintainer"
summary="Show the Jaeger-traces, or a selection of jaeger-traces, as Pretty-printed JSON in UTF-8 format"
[[ "$(field Description | head -n1)" == "$summary" ]] ||
  fail "Description starts '$(field Description | head -n1)'"

# The files a dpkg -i would put on the system, and no others.
root="$work/root"
dpkg-deb -x "$deb" "$root"
files=$(cd "$root" && find . ! -type d | sort)
wanted=$'./usr/bin/spansift\n./usr/share/bash-completion/completions/spansift\n./usr/share/fish/vendor_completions.d/spansift.fish\n./usr/share/man/man1/spansift.1.gz\n./usr/share/zsh/vendor-completions/_spansift'
[[ "$files" == "$wanted" ]] || fail "the package holds"$'\n'"$files"$'\n'"instead of"$'\n'"$wanted"

bin="$root/usr/bin/spansift"
[[ -x "$bin" ]] || fail "usr/bin/spansift is not executable"
gzip -dc "$root/usr/share/man/man1/spansift.1.gz" | cmp -s - "$source_dir/man/spansift.1" ||
  fail "the packaged man page differs from man/spansift.1"
for pair in bash-completion/completions/spansift:spansift.bash \
  zsh/vendor-completions/_spansift:_spansift fish/vendor_completions.d/spansift.fish:spansift.fish; do
  cmp -s "$root/usr/share/${pair%%:*}" "$source_dir/completion/${pair#*:}" ||
    fail "the packaged ${pair%%:*} differs from completion/${pair#*:}"
done

# A static binary names no library, and its package depends on nothing.
check_static() {
  echo "== usr/bin/spansift is statically linked"
  local needed
  needed=$(readelf -d "$bin" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p')
  [[ -z "$needed" ]] || fail "the static binary names shared libraries: $needed"
  [[ -z "$(field Depends)" ]] || fail "Depends is '$(field Depends)' for a binary that links no shared library"
}

check_shared_libraries() {
  # Every library resolves from the system, with no search path into the
  # build tree.
  echo "== ldd usr/bin/spansift"
  ldd_out=$(ldd "$bin" 2>&1) || fail "ldd failed"
  echo "$ldd_out"
  grep -q "not found" <<<"$ldd_out" && fail "unresolved libraries"
  if readelf -d "$bin" | grep -qE 'RPATH|RUNPATH'; then
    fail "the binary carries a library search path: $(readelf -d "$bin" | grep -E 'RPATH|RUNPATH')"
  fi

  # Depends names the package of each library the binary links directly.
  depends=$(field Depends)
  declare -A depended=()
  while read -r name; do
    [[ -n "$name" ]] && depended[$name]=1
  done < <(tr ',|' '\n' <<<"$depends" | sed -E 's/\(.*\)//; s/:.*//; s/^ +//; s/ +$//')

  owner_of() {
    # dpkg knows a library by the path its package ships, which may be under
    # /lib or /usr/lib whatever path the loader took.
    local path=$1 candidate
    for candidate in "$path" "/usr${path#/usr}" "${path#/usr}" "$(realpath "$path")"; do
      dpkg -S "$candidate" 2>/dev/null | head -n1 | cut -d: -f1 && return 0
    done
    return 1
  }

  needed=$(readelf -d "$bin" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p')
  [[ -n "$needed" ]] || fail "the binary names no shared library"
  for library in $needed; do
    path=$(awk -v lib="$library" '$1 == lib && $2 == "=>" { print $3 }' <<<"$ldd_out")
    package=$(owner_of "$path")
    if [[ -z "$package" ]]; then
      fail "$library ($path) belongs to no Debian package"
    elif [[ -z "${depended[$package]:-}" ]]; then
      fail "$library comes from $package, which Depends does not name"
    else
      echo "ok: $library from $package"
    fi
  done
}

if readelf -lW "$bin" | grep -q 'program interpreter'; then
  check_shared_libraries
else
  check_static
fi

echo "== usr/bin/spansift --version"
got=$("${emulator[@]}" "$bin" --version)
echo "$got"
[[ "$got" == "spansift $version" ]] || fail "--version printed '$got'"

if ((failures)); then
  exit 1
fi
echo "the package installs a working spansift"
