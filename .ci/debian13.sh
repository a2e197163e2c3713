#!/usr/bin/env bash
# .ci/debian13.sh [COMMIT]: the README's quick start as a new user of Debian 13
# (trixie, the current stable release) meets it. A fresh root file system made
# by mmdebstrap; in it, the README's install command as printed (after
# apt-get update), as root; then, as an ordinary user with no capabilities and
# Debian's default limits, in a clone of COMMIT (HEAD by default), the
# README's build-and-run command (given a passphrase on standard input) and
# its test command; then, as root, the clang workflow with Debian 13's Clang.
# Needs root, mmdebstrap and Debian's archive; installs nothing here.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$top" rev-parse --verify "${1:-HEAD}^{commit}")
work=$(mktemp -d "${TMPDIR:-/var/tmp}/passhash-debian13.XXXXXX")
root=$work/root
fail() { echo "debian13: $*"; exit 1; }

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
    echo "debian13: $root is still mounted; left in place"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# The Quick start's sh blocks: install, build and run, test.
block() { "$top/.ci/readme-block.sh" "$1" < <(git -C "$top" show "$commit:README.md"); }
install=$(block 1 || :) run=$(block 2 || :) test=$(block 3 || :)
[ -n "$install" ] && [ -n "$run" ] && [ -n "$test" ] && ! block 4 >/dev/null ||
  fail "the README's Quick start should hold three sh blocks: install, build and run, test"

started=$SECONDS
mmdebstrap --quiet --variant=apt --include=sudo,passwd trixie "$root"
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
in_root "apt-get -q update >/dev/null && $install" >"$work/install.log" 2>&1 ||
  { tail -n 30 "$work/install.log"; fail "the install command failed"; }
echo "debian13: root and packages in $((SECONDS - started)) s: $(in_root 'g++ --version | head -n 1; cmake --version | head -n 1' | paste -sd ';')"

# The README's reader, with Debian's default limits: 8 MiB of locked memory,
# and no core files unless raised.
in_root "useradd --create-home reader"
clone=$root/home/reader/passhash
git clone -q --no-checkout "$top" "$clone" && git -C "$clone" checkout -q "$commit" && chown -R --reference="$clone/.." "$clone"
as_reader() { chroot "$root" sh -c 'ulimit -l 8192 && ulimit -S -c 0 && exec "$@"' sh setpriv --reuid=reader --regid=reader \
  --init-groups --inh-caps=-all --bounding-set=-all env -i HOME=/home/reader PATH=/usr/bin:/bin LANG=C.UTF-8 \
  CI="${CI:-}" sh -euc "cd ~/passhash && $1"; }
out=$(printf 'correct horse\n' | as_reader "{ $run; } 2>/dev/null" | tail -n 1)
hash=${out#*Hashed passphrase is: }
[ "$(in_root "perl -e 'print crypt(\$ARGV[0], \$ARGV[1])' 'correct horse' '$hash'")" = "$hash" ] ||
  fail "the build-and-run command gave no hash that verifies: $out"
echo "debian13: as reader, the build-and-run command made a hash that verifies"
as_reader "$test" || fail "the test command failed"
echo "debian13: as reader, the test command passed, all in $((SECONDS - started)) s"
# And, as root, the suite and gates built with Debian 13's Clang.
in_root "apt-get install -y -q clang-19 >/dev/null && cd /home/reader/passhash && cmake --workflow --preset clang" ||
  fail "the clang workflow failed"
echo "debian13: as root, the clang workflow passed, all in $((SECONDS - started)) s"
