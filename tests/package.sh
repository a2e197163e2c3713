#!/usr/bin/env bash
# package.sh BUILDDIR TAGS [EMULATOR]: the Debian package is reproducible,
# lintian-clean but for TAGS (its hardening tags included) and holds what it
# should, and its tool, run through EMULATOR if one is given, makes a hash.
set -euo pipefail
build=$1 tags=$2 && shift 2
fail() { echo "$*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# cpack installs through the install rules, so the package shows them too.
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(echo "$work"/*.deb)
# Packed again as if built at another time: the same to the bit.
touch "$build/passhash" && (cd "$build" && cpack -G DEB -B "$work/again" >/dev/null)
cmp "$deb" "$work/again/${deb##*/}" || fail "two packages of the same build differ"
# Info tags too: those for BIND_NOW and fortified calls are of that level
# (PIE's and RELRO's are warnings).
lintian --display-info --fail-on error,warning,info --suppress-tags "$tags" "$deb"
printf './usr/%s\n' bin/passhash share/doc/passhash/{README.md,changelog.gz,copyright} share/man/man1/passhash.1.gz |
  sort | diff - <(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print $6}' | sort) || fail "the package holds the above"
dpkg-deb -f "$deb" Depends | grep -Eq '^libc6 \([^)]*\), libcrypt1 \([^)]*\), libseccomp2 \([^)]*\)$' || fail "Depends: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -x "$deb" "$work/root"
printf 'secret\n' | "$@" "$work/root/usr/bin/passhash" | grep -q '^Hashed passphrase is: \$' || fail "packaged tool made no hash"
