#!/usr/bin/env bash
# gates.sh GATE ARGS: the checks on what ships, beside the test suite.
#   man PAGE BINDIR    the page lints clean and its script examples run as printed
#   package BUILDDIR [EMULATOR]   the Debian package is lintian-clean and holds what it should
#   hardening BINARY CONFIG READELF OBJDUMP   the binary carries the hardening it was built with
#   lint SOURCEDIR BUILDDIR   no format drift, no clang-tidy finding
set -euo pipefail
gate=$1
shift
fail() { echo "$*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $gate in
man)
  page=$1
  if command -v mandoc >/dev/null; then
    found=$(mandoc -T lint -W warning "$page" 2>&1) || found+=" (mandoc failed)"
  else
    found=$(groff -ww -z -mandoc "$page" 2>&1)
  fi
  [ -z "$found" ] || fail "$found"
  [ "$(id -u)" = 0 ] || { echo "usermod needs root: examples skipped"; exit 77; }
  # Every literal block but the first, an interactive transcript, with usermod
  # pointed at a scratch root instead of the machine's own /etc.
  script=$(awk '/^\.Bd -literal/ {n++; on=1; next} /^\.Ed/ {on=0; next} on && n >= 2' "$page" | sed 's/\\e/\\/g')
  mkdir "$work/etc"
  printf 'root:x:0:0:root:/root:/bin/sh\nalice:x:1000:1000::/home/alice:/bin/sh\n' >"$work/etc/passwd"
  printf 'root:*:19000:0:99999:7:::\nalice:!:19000:0:99999:7:::\n' >"$work/etc/shadow"
  printf 'root:x:0:\nalice:x:1000:\n' >"$work/etc/group"
  export pw=' two words, \ and a tab	' root=$work PATH="$2:$PATH"
  bash -euo pipefail -c "usermod() { command usermod -P \"\$root\" \"\$@\"; }
$script"
  hash=$(awk -F: '$1 == "alice" {print $2}' "$work/etc/shadow")
  again=$(perl -e 'print crypt($ARGV[0], $ARGV[1])' "$pw" "$hash")
  [ -n "$hash" ] && [ "$again" = "$hash" ] || fail "shadow holds '$hash', which does not verify"
  ;;
package)
  # cpack installs through the install rules, so the package shows them too.
  build=$1 && shift
  (cd "$build" && cpack -G DEB -B "$work" >/dev/null)
  deb=$(echo "$work"/*.deb)
  lintian --fail-on error,warning "$deb"
  dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print $6}' | sort >"$work/packaged"
  printf './usr/%s\n' bin/passhash share/doc/passhash/changelog.gz share/doc/passhash/copyright \
    share/man/man1/passhash.1.gz | diff - "$work/packaged" || fail "the package holds the above"
  depends=$(dpkg-deb -f "$deb" Depends | tr -d ' ' | tr ',' '\n' | sed 's/(.*//' | sort | tr '\n' ' ')
  [ "$depends" = "libc6 libcrypt1 " ] || fail "Depends: $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -x "$deb" "$work/root"
  gzip -dc "$work/root/usr/share/doc/passhash/changelog.gz" >"$work/changelog"
  [ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$(dpkg-deb -f "$deb" Version)" ] ||
    fail "the changelog is not at the package's version"
  printf 'secret\n' | "$@" "$work/root/usr/bin/passhash" | grep -q '^Hashed passphrase is: \$' || fail "packaged tool made no hash"
  ;;
hardening)
  binary=$1 config=$2 readelf=$3 objdump=$4
  elf=$("$readelf" -W -h -l -d --dyn-syms "$binary")
  missing=()
  grep -Eq 'Type: +DYN' <<<"$elf" && grep -Eq 'FLAGS_1.*PIE' <<<"$elf" || missing+=(PIE)
  grep -Eq 'BIND_NOW|FLAGS_1.* NOW' <<<"$elf" || missing+=(BIND_NOW)
  grep -q GNU_RELRO <<<"$elf" || missing+=(GNU_RELRO)
  grep -q __stack_chk_fail <<<"$elf" || missing+=(stack-protector)
  # Fortified calls exist only in optimised builds.
  [ "$config" = Debug ] || grep -Eq '__[a-z]+_chk@' <<<"$elf" || missing+=(_FORTIFY_SOURCE)
  # 64-bit Arm: return addresses signed (PAC) and indirect branch targets marked (BTI).
  if grep -q 'Machine: *AArch64' <<<"$elf"; then
    code=$("$objdump" -d "$binary")
    grep -qw paciasp <<<"$code" || missing+=(PAC)
    grep -qw bti <<<"$code" || missing+=(BTI)
  fi
  [ ${#missing[@]} -eq 0 ] || fail "missing: ${missing[*]}"
  ;;
lint)
  cd "$1"
  mapfile -t sources < <(find src tests -name '*.cpp' -o -name '*.h' | sort)
  clang-format --dry-run --Werror "${sources[@]}"
  clang-tidy -p "$2" --quiet --extra-arg=-Wno-unknown-warning-option $(printf '%s\n' "${sources[@]}" | grep '\.cpp$')
  ;;
*) fail "no gate $gate" ;;
esac
