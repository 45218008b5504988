#!/usr/bin/env bash
# Time list benchmark: a listing of the most times it can hold (32000, a few nodes, 4.6 MB), its
# every time exported against one scan of it. Choosing the times must not grow faster than
# the times: target, the export at most 3.0 x `velto-extract info` (best of five each, taking
# turns; it was 67 x when each chosen time was looked for through the list of those before it).
#
# Usage: bench/times.sh [BUILD_DIR] [WORK_DIR]   (defaults: build, /tmp/velto-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=${2:-/tmp/velto-bench}
extract="$build/extract/cli/velto-extract"
mkdir -p "$work"
listing="$work/times-32000.out"
if [ ! -f "$listing" ]; then
  "$build/tools/velto-genlisting" --kind thermal --nodes 5 --times 32000 -o "$listing" > /dev/null
fi
seconds() {
  local start end
  rm -f "$work/times.csv"
  start=$(date +%s.%N)
  "$@" > /dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
least() { awk -v t="$1" -v b="$2" 'BEGIN { print (b == "" || t < b) ? t : b }'; }
t_scan="" t_all=""
for _ in 1 2 3 4 5; do
  t_scan=$(least "$(seconds "$extract" info "$listing")" "$t_scan")
  t_all=$(least "$(seconds "$extract" export "$listing" -o "$work/times.csv" \
    --variable Temperature)" "$t_all")
done
rm -f "$work/times.csv"
ratio=$(awk -v a="$t_all" -v s="$t_scan" 'BEGIN { printf "%.2f", a / s }')
printf '%s: 32000 times\n' "$(basename "$listing")"
printf '  scan (info)                    %6.3f s\n' "$t_scan"
printf '  5 nodes x all times, .csv      %6.3f s  %s x the scan (target 3.0)\n' "$t_all" "$ratio"
awk -v r="$ratio" 'BEGIN { exit !(r > 3.0) }' && { echo "  MISSED: choosing the times costs more than a scan"; exit 1; }
exit 0
