#!/usr/bin/env bash
# lint_test.sh SOURCE_DIR BUILD_DIR: no format drift, no clang-tidy finding.
set -euo pipefail
cd "$1"
mapfile -t sources < <(find src tests -name '*.cpp' -o -name '*.h' | sort)
clang-format --dry-run --Werror "${sources[@]}"
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$')
clang-tidy -p "$2" --quiet --extra-arg=-Wno-unknown-warning-option "${units[@]}"
