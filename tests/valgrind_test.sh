#!/usr/bin/env bash
# valgrind_test.sh BINARY: memcheck finds no error and no definite leak on the
# success path and on each way to fail, and each path ends as it should.
set -uo pipefail
binary=$1
log=$(mktemp)
trap 'rm -f "$log"' EXIT
failed=0
#      name                   status  stdout     input
while IFS='|' read -r name want out input; do
  printf "$input" | valgrind -q --leak-check=full --errors-for-leak-kinds=definite \
    --error-exitcode=99 --log-file="$log" "$binary" >"$out"
  status=${PIPESTATUS[1]}
  if [ "$status" != "$want" ] || [ -s "$log" ]; then
    echo "$name: status $status, expected $want"; cat "$log"; failed=1
  fi
done <<EOF_CASES
success|0|/dev/null|secret\n
empty input|1|/dev/null|
overlong line|1|/dev/null|$(printf '%01500d' 0)\n
512-byte passphrase|1|/dev/null|$(printf '%0512d' 0)\n
stdout on /dev/full|1|/dev/full|secret\n
EOF_CASES
exit $failed
