#!/usr/bin/env bash
# Export benchmark on the ~1 GB listings of the scan benchmark (made by bench/scan.sh when
# missing): the cost of exporting the last time only, and ten times spread over the file.
# Target: the last time costs at most 5% of a full scan; ten times cost about ten times one.
# Then bench/selection.sh: 255 nodes and all nodes at all 610 times against the scan.
#
# Usage: bench/export.sh [BUILD_DIR] [WORK_DIR] [SIZE]   (defaults: build, /tmp/velto-bench, 1G)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=${2:-/tmp/velto-bench}
size=${3:-1G}
if [ ! -f "$work/structural.out" ] || [ ! -f "$work/thermal.out" ]; then
  bench/scan.sh "$build" "$work" "$size" > /dev/null || true
fi
bench="$build/bench/velto-bench-export"
status=0
for file in structural thermal; do cat "$work/$file.out" > /dev/null; done
"$bench" "$work/structural.out" Displacements 2 || status=1
"$bench" "$work/structural.out" "Beam Stresses" 5 || status=1
"$bench" "$work/thermal.out" Temperature || status=1
# A chosen selection against one scan, and every node against the floor: six- and five-digit
# structural values, and temperatures.
bench/selection.sh "$build" "$work" || status=1
bench/selection.sh "$build" "$work" 610 5 || status=1
bench/selection.sh "$build" "$work" 0 0 thermal || status=1
# Every time of a listing of the most times one can hold.
bench/times.sh "$build" "$work" || status=1
exit $status
