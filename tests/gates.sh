#!/usr/bin/env bash
# gates.sh GATE ARGS: the checks on what ships, beside the test suite.
#   man PAGE README BINDIR   the page lints clean; its recipe and the README's work as printed and fail safe
#   package BUILDDIR [EMULATOR]   the Debian package is reproducible, lintian-clean and holds what it should
#   hardening BINARY CONFIG READELF OBJDUMP   the binary carries the hardening it was built with
#   lint SOURCEDIR BUILDDIR   no format drift, no clang-tidy finding
set -euo pipefail
gate=$1 && shift
fail() { echo "$*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $gate in
man)
  mandoc -T lint -W warning "$1" || fail "the page does not lint clean"
  # The script recipe of the manual (its second literal block) and of the
  # README, run as printed by sh: usermod only keeps the hash that it is given
  # for alice. A passphrase that passhash refuses must stop the recipe before
  # usermod is called at all.
  export work PATH="$3:$PATH"
  recipe() { pw=$1 sh -c "usermod() { [ \"\$1 \$3\" = '-p alice' ] && printf %s \"\$2\" >\"\$work/hash\"; }
$script"; }
  for script in "$(awk '/^\.Bd -literal/ {n++; on=1; next} /^\.Ed/ {on=0} on && n == 2' "$1" | sed 's/\\e/\\/g')" \
    "$(awk '/^## Use in a script/ {f=1} f && /^```$/ {exit} f && on; f && /^```sh/ {on=1}' "$2")"; do
    for pw in '' "$(printf "%512s" | tr ' ' x)"; do
      ! recipe "$pw" && [ ! -e "$work/hash" ] || fail "the recipe went on without a hash: $script"
    done
    pw=' two words, \ and a tab	'
    recipe "$pw" || fail "the recipe failed"
    hash=$(cat "$work/hash") && rm "$work/hash"
    [ "$(perl -e 'print crypt($ARGV[0], $ARGV[1])' "$pw" "$hash")" = "$hash" ] || fail "'$hash' does not verify"
    [ "$hash" != "${last:-}" ] || fail "the same passphrase gave the same hash twice: a salt came twice" && last=$hash
  done
  # The README's check for a target's crypt, run as printed: yes for a fresh
  # hash, no for a method that the library does not know.
  check=$(awk '/^## Where the hash works/ {f=1} f && /^```$/ {exit} f && on; f && /^```sh/ {on=1}' "$2")
  fresh=$(printf 'x\n' | passhash | sed -n 's/^Hashed passphrase is: //p')
  [ "$(hash=$fresh sh -c "$check")" = yes ] && [ "$(hash='$9$salt$' sh -c "$check")" = no ] ||
    fail "the check for a target's crypt gave the wrong answer: $check"
  # Every code fence of the README and of HACKING.md beside it is closed, and
  # closed by a bare fence: text after the fence leaves the block open.
  for doc in "$2" "$(dirname "$2")/HACKING.md"; do
    awk '/^```/ {open = !open; if (!open && $0 != "```") {bad = 1; exit}} END {exit bad || open}' "$doc" ||
      fail "$doc: a code fence is closed with text after it, or left open"
  done
  ;;
package)
  # cpack installs through the install rules, so the package shows them too.
  build=$1 && shift
  (cd "$build" && cpack -G DEB -B "$work" >/dev/null)
  deb=$(echo "$work"/*.deb)
  # Packed again as if built at another time: the same to the bit.
  touch "$build/passhash" && (cd "$build" && cpack -G DEB -B "$work/again" >/dev/null)
  cmp "$deb" "$work/again/${deb##*/}" || fail "two packages of the same build differ"
  lintian --fail-on error,warning "$deb"
  printf './usr/%s\n' bin/passhash share/doc/passhash/{README.md,changelog.gz,copyright} share/man/man1/passhash.1.gz |
    sort | diff - <(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print $6}' | sort) || fail "the package holds the above"
  dpkg-deb -f "$deb" Depends | grep -Eq '^libc6 \(.*\), libcrypt1 \(.*\)$' || fail "Depends: $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -x "$deb" "$work/root"
  printf 'secret\n' | "$@" "$work/root/usr/bin/passhash" | grep -q '^Hashed passphrase is: \$' || fail "packaged tool made no hash"
  ;;
hardening)
  binary=$1 config=$2 readelf=$3 objdump=$4
  elf=$("$readelf" -W -h -l -d --dyn-syms "$binary")
  # PIE, BIND_NOW, RELRO, stack protector; fortified calls exist only in optimised builds.
  wanted=('Type: +DYN' 'FLAGS_1.*PIE' 'BIND_NOW|FLAGS_1.* NOW' GNU_RELRO __stack_chk_fail)
  [ "$config" = Debug ] || wanted+=('__[a-z_]+_chk@')
  # 64-bit Arm: return addresses signed (PAC) and indirect branch targets marked (BTI).
  grep -q 'Machine: *AArch64' <<<"$elf" && elf+=$("$objdump" -d "$binary") wanted+=('\bpaciasp\b' '\bbti\b')
  missing=()
  for want in "${wanted[@]}"; do grep -Eq "$want" <<<"$elf" || missing+=("$want"); done
  [ ${#missing[@]} -eq 0 ] || fail "missing: ${missing[*]}"
  ;;
lint)
  cd "$1"
  mapfile -t sources < <(find src tests -name '*.cpp' -o -name '*.h' | sort)
  clang-format-19 --dry-run --Werror "${sources[@]}"
  clang-tidy-19 -p "$2" --quiet --extra-arg=-Wno-unknown-warning-option $(printf '%s\n' "${sources[@]}" | grep '\.cpp$')
  ;;
*) fail "no gate $gate" ;;
esac
