#!/usr/bin/env bash
# hardening_test.sh BINARY CONFIG: the binary carries the hardening it was built with.
set -euo pipefail
binary=$1 config=$2
elf=$(readelf -W -h -l -d --dyn-syms "$binary")
missing=()
grep -Eq 'Type: +DYN' <<<"$elf" && grep -Eq 'FLAGS_1.*PIE' <<<"$elf" || missing+=(PIE)
grep -Eq 'BIND_NOW|FLAGS_1.* NOW' <<<"$elf" || missing+=(BIND_NOW)
grep -q GNU_RELRO <<<"$elf" || missing+=(GNU_RELRO)
grep -q __stack_chk_fail <<<"$elf" || missing+=(stack-protector)
# Fortified calls exist only in optimised builds.
[ "$config" = Debug ] || grep -Eq '__[a-z]+_chk@' <<<"$elf" || missing+=(_FORTIFY_SOURCE)
[ ${#missing[@]} -eq 0 ] || { echo "missing: ${missing[*]}"; exit 1; }
