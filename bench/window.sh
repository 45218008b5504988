#!/usr/bin/env bash
# Window benchmark on the ~1 GB listings of the scan benchmark (made by bench/scan.sh when
# missing): opening them in the VeltoExtract window costs no more than the headless scan plus a
# few percent (target: 10% at most, for the whole open command).
#
# Usage: bench/window.sh [BUILD_DIR] [WORK_DIR] [SIZE]   (defaults: build, /tmp/velto-bench, 1G)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=${2:-/tmp/velto-bench}
size=${3:-1G}
if [ ! -f "$work/structural.out" ] || [ ! -f "$work/thermal.out" ]; then
  bench/scan.sh "$build" "$work" "$size" > /dev/null || true
fi
status=0
for file in structural thermal; do
  cat "$work/$file.out" > /dev/null
  QT_QPA_PLATFORM=offscreen "$build/bench/velto-bench-window" "$work/$file.out" || status=1
done
exit $status
