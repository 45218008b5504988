#!/usr/bin/env bash
# Scan benchmark: makes a ~1 GB structural and a ~1 GB thermal listing, then times
# `velto-extract info` against `grep -c -F '  TIME ='` and `wc -l` on the same cached file and
# reports the ratios and the peak memory of the scan.
#
# Targets: the scan takes at most twice grep's wall time; its peak memory stays under 64 MiB
# whatever the size of the listing.
#
# Usage: bench/scan.sh [BUILD_DIR] [WORK_DIR] [SIZE]   (defaults: build, /tmp/velto-bench, 1G)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=${2:-/tmp/velto-bench}
size=${3:-1G}
gen="$build/tools/velto-genlisting"
extract="$build/extract/cli/velto-extract"
mkdir -p "$work"

make_listing() {  # name, generator options...
  local file="$work/$1"
  shift
  if [ ! -f "$file" ]; then
    "$gen" "$@" --size "$size" -o "$file" > /dev/null
  fi
  echo "$file"
}

best_of_3() {  # prints the best wall time in seconds of three runs of the command
  local best=""
  for _ in 1 2 3; do
    local start end took
    start=$(date +%s.%N)
    # Not /dev/null: grep notices it and stops at the first match.
    "$@" > "$work/output.txt"
    end=$(date +%s.%N)
    took=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
    if [ -z "$best" ] || awk -v t="$took" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$took; fi
  done
  printf '%.3f' "$best"
}

structural=$(make_listing structural.out --nodes 2000 --beams 400 --beam-points 3 --trusses 50 \
  --shells 100 --soils 20 --stress-tables 6 --tangent-tables 2)
thermal=$(make_listing thermal.out --kind thermal --nodes 20000 --solids 18000)

status=0
for listing in "$structural" "$thermal"; do
  cat "$listing" > /dev/null  # into the page cache, so every tool reads the same cached file
  bytes=$(stat -c %s "$listing")
  t_grep=$(best_of_3 grep -c -F '  TIME =' "$listing")
  t_wc=$(best_of_3 wc -l "$listing")
  t_scan=$(best_of_3 "$extract" info "$listing")
  peak_kib=$(/usr/bin/time -f '%M' "$extract" info "$listing" 2>&1 > /dev/null | tail -n 1)
  times=$("$extract" info "$listing" --json | grep -o '"TimeCount":[0-9]*' | cut -d: -f2)
  ratio=$(awk -v s="$t_scan" -v g="$t_grep" 'BEGIN { print s / g }')
  printf '%s: %d bytes, %s times\n' "$(basename "$listing")" "$bytes" "$times"
  printf '  grep -c    %6.3f s\n  wc -l      %6.3f s\n  scan       %6.3f s  (%.2f x grep, %.2f x wc)\n' \
    "$t_grep" "$t_wc" "$t_scan" "$ratio" "$(awk -v s="$t_scan" -v w="$t_wc" 'BEGIN { print s / w }')"
  printf '  peak memory %d KiB\n' "$peak_kib"
  if awk -v r="$ratio" 'BEGIN { exit !(r > 2) }'; then
    echo "  MISSED: the scan takes more than twice grep's time"
    status=1
  fi
  if ((peak_kib > 65536)); then
    echo "  MISSED: peak memory above 64 MiB"
    status=1
  fi
done
exit $status
