#!/usr/bin/env bash
# readme-block.sh N < README.md: the Nth sh block of the README's Quick start
# (1: install, 2: build and run, 3: test), as CI runs it; fails if it has none.
awk -v want="$1" '/^#+ / {on = $0 == "## Quick start"} on && /^```$/ {inside = 0}
  on && inside && n == want {print; found = 1} on && /^```sh$/ {inside = 1; n++} END {exit !found}'
