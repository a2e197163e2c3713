#!/usr/bin/env bash
# .ci/fresh-root.sh SUITE [COMMIT]: the README as a new user of Debian SUITE
# (bookworm: 12, trixie: 13) meets it. A fresh root file system made by
# mmdebstrap; in it, an ordinary user with no capabilities and Debian's
# default limits runs the README's blocks in a clone of COMMIT (HEAD by
# default), in the order shown: the Install section's (packages and build;
# install for one user and for all; the .deb) and the Quick start's (build
# and run, given a passphrase; the test packages and the tests), and after
# the first, a packager's plain configure and build (debhelper's). Each line
# that starts with sudo runs as root, without the word, in the same order:
# the user has no sudo rights. Each installed passhash then makes a hash that
# verifies. On trixie, then, the clang workflow as root with Debian 13's Clang.
# Needs root, mmdebstrap and Debian's archive; installs nothing here.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
suite=$1
commit=$(git -C "$top" rev-parse --verify "${2:-HEAD}^{commit}")
work=$(mktemp -d "${TMPDIR:-/var/tmp}/passhash-$suite.XXXXXX")
root=$work/root
say() { echo "$suite: $*"; }
fail() { say "$*"; exit 1; }

# /dev is a tmpfs of its own with a private devpts instance, never a bind of
# this machine's: a root that could not be unmounted then deletes nothing of
# the host's. Still, nothing is deleted while anything is mounted under it.
cleanup() {
  for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/root" 2>/dev/null)" != "$root" ] || kill -9 "${proc#/proc/}" 2>/dev/null || true
  done
  for mount in proc dev/pts dev; do
    ! mountpoint -q "$root/$mount" || umount -l "$root/$mount" || true
  done
  if findmnt -rn -o TARGET | grep -q "^$root"; then
    say "$root is still mounted; left in place"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# The README's sh blocks, by section and number (.ci/readme-block.sh).
block() { "$top/.ci/readme-block.sh" "$1" "$2" < <(git -C "$top" show "$commit:README.md"); }
blocks=("Install 1" "Install 2" "Install 3" "Quick start 1" "Quick start 2")
for each in "${blocks[@]}"; do
  block "${each% *}" "${each##* }" >/dev/null || fail "the README has no sh block $each"
done
! block Install 4 >/dev/null && ! block "Quick start" 3 >/dev/null || fail "the README has more sh blocks than this runs"

started=$SECONDS
mmdebstrap --quiet --variant=apt --include=sudo,passwd "$suite" "$root"
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
mkdir "$root/dev/pts"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
  IFS=: read -r name major minor <<<"$node"
  mknod -m 666 "$root/dev/$name" c "$major" "$minor"
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
in_root() { chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 CI="${CI:-}" \
  DEBIAN_FRONTEND=noninteractive sh -euc "$1"; }
in_root "apt-get -q update" >"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log"; fail "apt-get update failed"; }
say "root in $((SECONDS - started)) s"

# The README's reader, with Debian's default limits: 8 MiB of locked memory,
# and no core files unless raised.
in_root "useradd --create-home reader"
clone=$root/home/reader/passhash
git clone -q --no-checkout "$top" "$clone" && git -C "$clone" checkout -q "$commit" && chown -R --reference="$clone/.." "$clone"
as_reader() { chroot "$root" sh -c 'ulimit -l 8192 && ulimit -S -c 0 && exec "$@"' sh setpriv --reuid=reader --regid=reader \
  --init-groups --inh-caps=-all --bounding-set=-all env -i HOME=/home/reader PATH=/usr/bin:/bin LANG=C.UTF-8 \
  CI="${CI:-}" sh -euc "cd ~/passhash && $1"; }
# A block line by line, in the clone: sudo's as root, the others as reader.
steps() {
  local line
  while IFS= read -r line; do
    echo "$suite: \$ $line"
    case $line in
      "sudo "*) in_root "cd /home/reader/passhash && ${line#sudo }" </dev/null >"$work/step.log" 2>&1 ;;
      *) as_reader "$line" </dev/null >"$work/step.log" 2>&1 ;;
    esac || { tail -n 40 "$work/step.log"; fail "the README's $1 failed at: $line"; }
  done < <(block "${1% *}" "${1##* }")
}
# A passhash given a passphrase makes a hash that verifies.
verifies() {
  local out hash
  out=$(printf 'correct horse\n' | as_reader "$1" 2>/dev/null | tail -n 1)
  hash=${out#*Hashed passphrase is: }
  [ "$(in_root "perl -e 'print crypt(\$ARGV[0], \$ARGV[1])' 'correct horse' '$hash'")" = "$hash" ] ||
    fail "$2 gave no hash that verifies: $out"
  say "as reader, $2 made a hash that verifies"
}

steps "Install 1"
# A packager's plain configure and build, as debhelper runs them, with the
# tool's packages alone; the suite asked for without its programs stops at
# configure, naming them.
in_root "! command -v python3 >/dev/null" || fail "python3 is installed before the tests' packages"
as_reader "cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=None && cmake --build build/plain" >"$work/step.log" 2>&1 ||
  { tail -n 40 "$work/step.log"; fail "the plain configure and build failed with the tool's packages alone"; }
! as_reader "cmake -S . -B build/plain-tests -DBUILD_TESTING=ON" >"$work/step.log" 2>&1 &&
  grep -q 'python3 (package python3)' "$work/step.log" ||
  { tail -n 40 "$work/step.log"; fail "asked for without python3, the suite did not stop at configure naming it"; }
say "as reader, the plain configure and build made the tool; asked for, the suite stopped naming what is missing"
steps "Install 2"
steps "Install 3"
say "$(in_root 'g++ --version | head -n 1; cmake --version | head -n 1' | paste -sd ';')"
verifies '~/.local/bin/passhash' "the one user's passhash"
verifies /usr/local/bin/passhash "the passhash installed for all"
verifies /usr/bin/passhash "the .deb's passhash"
verifies "$(block "Quick start" 1)" "the Quick start's build-and-run command"
steps "Quick start 2"
say "as reader, every README block ran in order, the tests passed; all in $((SECONDS - started)) s"
[ "$suite" = trixie ] || exit 0
# And, as root, the suite and gates built with Debian 13's Clang.
in_root "apt-get install -y -q clang-19 >/dev/null && cd /home/reader/passhash && cmake --workflow --preset clang" ||
  fail "the clang workflow failed"
say "as root, the clang workflow passed, all in $((SECONDS - started)) s"
