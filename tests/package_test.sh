#!/usr/bin/env bash
# package_test.sh BUILD_DIR: cmake --install and the Debian package put the
# tool and its man page in place, and the package depends on what it links.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*"; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
(cd "$work/prefix" && find . -type f | sort) >"$work/installed"
printf './bin/passhash\n./share/man/man1/passhash.1\n' | diff - "$work/installed" || fail "cmake --install put the above"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(echo "$work"/deb/*.deb)
dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print $6}' | sort >"$work/packaged"
printf './usr/bin/passhash\n./usr/share/man/man1/passhash.1\n' | diff - "$work/packaged" || fail "the package holds the above"
depends=$(dpkg-deb -f "$deb" Depends | tr -d ' ' | tr ',' '\n' | sed 's/(.*//' | sort | tr '\n' ' ')
[ "$depends" = "libc6 libcrypt1 " ] || fail "Depends: $(dpkg-deb -f "$deb" Depends)"

dpkg-deb -x "$deb" "$work/root"
printf 'secret\n' | "$work/root/usr/bin/passhash" | grep -q '^Hashed passphrase is: \$' || fail "packaged tool made no hash"
