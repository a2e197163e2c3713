#!/usr/bin/env bash
# bench/run.sh [RUNS]: whole-process cost of the release build of passhash
# against a baseline that makes only the two libxcrypt calls (as root, with
# the same whole-process lock around the hash), side by side in
# one run: median wall time (hyperfine) and peak RSS (GNU time), with ratios.
set -euo pipefail
runs=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
for tool in hyperfine /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool: apt-get install -y hyperfine time"; exit 1; }
done
(cd "$root" && cmake --workflow --preset release >/dev/null)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck disable=SC2046 # pkg-config's flags are meant to split
g++ -std=c++20 -O2 "$root/bench/baseline.cpp" $(pkg-config --cflags --libs libxcrypt) -o "$work/baseline"
printf 'correct horse battery staple\n' >"$work/input"

hyperfine --style basic --warmup 3 --runs "$runs" --export-csv "$work/times.csv" \
  -n passhash "$root/build/release/passhash <$work/input" \
  -n baseline "$work/baseline <$work/input" >&2

peak_rss_kib() { # the largest of RUNS runs
  local most=0 kib
  for ((i = 0; i < runs; i++)); do
    kib=$(/usr/bin/time -f %M "$1" <"$work/input" 2>&1 >/dev/null)
    ((kib > most)) && most=$kib
  done
  echo "$most"
}
tool_rss=$(peak_rss_kib "$root/build/release/passhash")
base_rss=$(peak_rss_kib "$work/baseline")

# hyperfine's CSV: command,mean,stddev,median,... in seconds.
awk -F, -v tool_rss="$tool_rss" -v base_rss="$base_rss" -v runs="$runs" '
  NR > 1 { median[$1] = $4 }
  END {
    printf "| program | median wall time | peak RSS |\n| --- | --- | --- |\n"
    printf "| passhash | %.1f ms | %.1f MiB |\n", median["passhash"] * 1000, tool_rss / 1024
    printf "| baseline | %.1f ms | %.1f MiB |\n", median["baseline"] * 1000, base_rss / 1024
    printf "\nwall time ratio %.3f (target <= 1.03), peak RSS difference %+d KiB (target <= 1024), %d runs each\n",
      median["passhash"] / median["baseline"], tool_rss - base_rss, runs
  }' "$work/times.csv"
