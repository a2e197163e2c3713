#!/usr/bin/env bash
# man_page_test.sh lint PAGE | examples PAGE BINDIR
# lint: any warning fails. examples: the script examples run as printed, with
# usermod pointed at a scratch root instead of the machine's own /etc.
set -euo pipefail
mode=$1 page=$2

if [ "$mode" = lint ]; then
  if command -v mandoc >/dev/null; then
    found=$(mandoc -T lint -W warning "$page" 2>&1) || found+=" (mandoc failed)"
  else
    found=$(groff -ww -z -mandoc "$page" 2>&1) # exits 0 on warnings
  fi
  [ -z "$found" ] || { printf '%s\n' "$found"; exit 1; }
  exit 0
fi

[ "$(id -u)" = 0 ] || { echo "usermod needs root: skipped"; exit 77; }
# Every literal block but the first, an interactive transcript.
script=$(awk '/^\.Bd -literal/ {n++; on=1; next} /^\.Ed/ {on=0; next} on && n >= 2' "$page" | sed 's/\\e/\\/g')
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir "$root/etc"
printf 'root:x:0:0:root:/root:/bin/sh\nalice:x:1000:1000::/home/alice:/bin/sh\n' >"$root/etc/passwd"
printf 'root:*:19000:0:99999:7:::\nalice:!:19000:0:99999:7:::\n' >"$root/etc/shadow"
printf 'root:x:0:\nalice:x:1000:\n' >"$root/etc/group"

export pw=' two words, \ and a tab	' root PATH="$3:$PATH"
bash -euo pipefail -c "usermod() { command usermod -P \"\$root\" \"\$@\"; }
$script"
hash=$(awk -F: '$1 == "alice" {print $2}' "$root/etc/shadow")
again=$(perl -e 'print crypt($ARGV[0], $ARGV[1])' "$pw" "$hash")
[ -n "$hash" ] && [ "$again" = "$hash" ] || { echo "shadow holds '$hash', which does not verify"; exit 1; }
