#!/usr/bin/env bash
# readme-block.sh SECTION N < README.md: the Nth sh block of the README's
# section "## SECTION", as CI runs it; fails if it has none. The blocks:
# Install 1: packages and build, 2: install for one user and for all,
# 3: the .deb; Quick start 1: build and run, 2: the test packages and tests.
awk -v want="$2" -v section="## $1" '/^#+ / {on = $0 == section} on && /^```$/ {inside = 0}
  on && inside && n == want {print; found = 1} on && /^```sh$/ {inside = 1; n++} END {exit !found}'
