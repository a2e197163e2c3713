#!/usr/bin/env bash
# .ci/reproducible.sh [COMMIT]: the README's build and package commands give
# the same .deb to the bit under reprotest's variations, in a clone of COMMIT
# (HEAD by default): build path, environment, locales, time (faketime), time
# zone, file order (disorderfs), home, PATH, CPUs, ASLR and umask (0002).
# Left out: those that need other users (user_group), a second kernel
# (kernel) or a new UTS namespace (domain_host). Then the same commands under
# umask 077 give that .deb again, and lintian finds nothing in it but the
# .comment section, as in the package gate.
# Needs reprotest, disorderfs, faketime and lintian; root for disorderfs's fuse.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$top" rev-parse --verify "${1:-HEAD}^{commit}")
work=$(mktemp -d "${TMPDIR:-/var/tmp}/passhash-reprotest.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "reproducible: $*"; exit 1; }

git clone -q --no-checkout "$top" "$work/src" && git -C "$work/src" checkout -q "$commit"
build='cmake --workflow --preset release >/dev/null && cd build/release && cpack >/dev/null'
(cd "$work/src" && reprotest --vary=-user_group,-domain_host,-kernel --store-dir "$work/out" \
  "$build" 'build/release/*.deb') >"$work/reprotest.log" 2>&1 ||
  { tail -n 60 "$work/reprotest.log"; fail "reprotest found the .deb differs"; }
grep -A3 '^Reproduction successful' "$work/reprotest.log"

git clone -q --no-checkout "$top" "$work/077" && git -C "$work/077" checkout -q "$commit"
(cd "$work/077" && umask 077 && sh -c "$build" 2>/dev/null)
(cd "$work/077" && sha256sum -c --quiet "$work/out/SHA256SUMS") || fail "built under umask 077, the .deb differs"
lintian --fail-on error,warning,info --display-info --suppress-tags binary-has-unneeded-section \
  "$work"/077/build/release/*.deb ||
  fail "lintian, on the .deb built under umask 077"
echo "reproducible: under umask 077 the same .deb, and lintian-clean"
