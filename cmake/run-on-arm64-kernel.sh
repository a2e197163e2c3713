#!/usr/bin/env bash
# run-on-arm64-kernel.sh BUILDDIR TESTS TOOL HOLD [SECONDS]
#
# Runs the test script TESTS with Debian's arm64 Python natively on Debian's
# arm64 kernel, booted under qemu-system-aarch64 -M virt -cpu max (which
# executes pointer authentication and BTI) with no network, so that the
# kernel's own job control meets the arm64 TOOL: qemu-user handles every
# signal itself. Then the arm64 package is unpacked in the guest and its tool
# runs the file table, the hashes verified with the guest's libcrypt. Passes
# only if every row passes and the guest powers off within SECONDS (840 by
# default).
#
# Nothing is installed on this machine: the guest's kernel and programs are
# Debian arm64 packages fetched with apt-get download, cached in BUILDDIR.
set -euo pipefail
build=$1 tests=$2 tool=$3 hold=$4 limit=${5:-840}
cache=$build/arm64-kernel
fail() { echo "arm64 kernel run: $*"; exit 1; }

# busybox-static is the guest's init; the rest is what the suite runs (Python
# with ctypes, env, setpriv, sh, bash, dash, strace, and coreutils' id, cat,
# stty, touch) and the libraries of those and of the tool.
python=$(apt-cache depends python3-minimal:arm64 | awk '/Depends: python3\.[0-9]+-minimal/ {print $2; exit}')
python=${python%:arm64}
packages=(busybox-static bash dash coreutils util-linux strace libc6 libcrypt1 libseccomp2 libstdc++6 libgcc-s1 libtinfo6
  libsmartcols1 libcap-ng0 libselinux1 libpcre2-8-0 libacl1 libattr1 libunwind8 liblzma5
  python3-minimal "$python" "lib$python" "lib${python%-minimal}-stdlib" libffi8 libexpat1 zlib1g)
kernel=$(apt-cache depends linux-image-cloud-arm64:arm64 | awk '/Depends: linux-image-/ {print $2; exit}')
[ -n "$kernel" ] || fail "no arm64 cloud kernel known to apt (dpkg --add-architecture arm64; apt-get update)"
[ -n "$python" ] || fail "no arm64 Python known to apt"
# The cache keeps exactly the files apt would fetch now, so that after an
# update (a package's, or the kernel's ABI) no older file is unpacked beside
# the newer one; the kernel and the tool's package are made anew for the same
# reason, since a kept build tree outlives both.
uris=$(apt-get download --print-uris "${packages[@]/%/:arm64}" "$kernel") || fail "apt cannot name every package's file"
declare -A wanted=()
while read -r _ file _; do wanted[$file]=1; done <<<"$uris"
mkdir -p "$cache/debs"
for deb in "$cache"/debs/*.deb; do
  [ -n "${wanted[${deb##*/}]-}" ] || rm -f "$deb"
done
missing=()
for file in "${!wanted[@]}"; do
  [ -f "$cache/debs/$file" ] || missing+=("${file%%_*}:arm64")
done
if ((${#missing[@]})); then
  (cd "$cache/debs" && apt-get download -q "${missing[@]}" 2>&1 | sed '/unsandboxed/d') ||
    fail "could not download ${missing[*]}"
fi

root=$cache/root
rm -rf "$root" "$cache/boot" "$cache/package" && mkdir -p "$root"/{proc,dev,tmp}
for deb in "$cache"/debs/*.deb; do
  case $deb in
  */linux-image-*) dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$cache" --wildcards './boot/vmlinuz-*' ;;
  *) dpkg-deb -x "$deb" "$root" ;;
  esac
done
rm -rf "$root/usr/share"
(cd "$build" && cpack -G DEB -B "$cache/package" >/dev/null)
cp "$cache"/package/*.deb "$root/passhash.deb"
# At the paths where the test binary looks for them.
for file in "$tests" "$tool" "$hold"; do install -D "$file" "$root$file"; done

# A program or a library missing from the guest fails here, by name.
programs=("$root$tool" "$root$hold" "$root"/bin/{sh,bash,dash,cat,stty,touch} "$root"/usr/bin/{env,setpriv,strace,id,python3})
mapfile -t libraries < <(find "$root/lib/aarch64-linux-gnu" "$root/usr/lib/aarch64-linux-gnu" -maxdepth 1 -name '*.so*' -type f)
[ -f "$root$tests" ] || fail "${tests} is missing"
for elf in "${programs[@]}" "${libraries[@]}"; do
  [ -f "$elf" ] || fail "${elf#"$root"} is missing"
  for needed in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    compgen -G "$root/lib/$needed" >/dev/null || compgen -G "$root/lib/aarch64-linux-gnu/$needed" >/dev/null ||
      compgen -G "$root/usr/lib/aarch64-linux-gnu/$needed" >/dev/null || fail "$needed, needed by ${elf#"$root"}, is missing"
  done
done

cat >"$root/init" <<EOF
#!/bin/busybox sh
bb=/bin/busybox
\$bb mount -t proc proc /proc && \$bb mount -t devtmpfs devtmpfs /dev
\$bb mkdir -p /dev/pts && \$bb mount -t devpts devpts /dev/pts
export PATH=/usr/local/bin:/usr/bin:/bin HOME=/tmp
echo "guest: uname -m: \$(\$bb uname -m)"
# The sweep, which runs the tool some 60 times a signal, with one signal that
# ends it and one that stops it: this kernel runs under emulation.
python3 $tests $tool $hold Files 'Shell/*' Sweep/TERM Sweep/TSTP
suite=\$?
\$bb mkdir /package && \$bb dpkg-deb -x /passhash.deb /package
PASSHASH_PACKAGED=/package/usr/bin/passhash python3 $tests $tool $hold Files
package=\$?
# The packaged tool confined as it waits for input, as the kernel says.
\$bb mkfifo /tmp/in
/package/usr/bin/passhash </tmp/in >/dev/null &
exec 3>/tmp/in
until \$bb grep -q poll /proc/\$!/wchan 2>/dev/null || ! \$bb kill -0 \$! 2>/dev/null; do \$bb sleep 0.1; done
echo "guest: the packaged tool waiting:" \$(\$bb grep -E '^(NoNewPrivs|Seccomp):' /proc/\$!/status)
echo secret >&3; exec 3>&-; wait \$!
echo "guest: suite \$suite package \$package"
\$bb poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$cache/initramfs.cpio"

started=$SECONDS
status=0
timeout -k 5 "$limit" qemu-system-aarch64 -M virt -cpu max -smp 2 -m 1024 -nographic -no-reboot -nic none \
  -kernel "$(echo "$cache"/boot/vmlinuz-*)" -initrd "$cache/initramfs.cpio" \
  -append "console=ttyAMA0 rdinit=/init panic=-1 quiet" </dev/null | tr -d '\r' | tee "$cache/console.log" ||
  status=$?
echo "arm64 kernel run: $((SECONDS - started)) s"
[ "$status" -ne 124 ] || fail "the guest did not power off within $limit s"
grep -qx 'guest: suite 0 package 0' "$cache/console.log" || fail "failed (console in $cache/console.log)"
