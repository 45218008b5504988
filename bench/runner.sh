#!/usr/bin/env bash
# Runner benchmark: velto-batch watches the stand-in solver for 10 s while it prints one time
# line a second. A runner that waits in the event loop costs next to nothing; one that polls
# the pipe without sleeping burns a whole core and slows the solver it watches.
# Target: velto-batch's own CPU time under 2% of the wall time.
#
# Usage: bench/runner.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'TIME\n 1 10\nEND_TIME\nSTANDIN STEPS 10\nSTANDIN PACE 1\n' > "$work/quiet.in"
/usr/bin/time -f '%U %S %e' -o "$work/time.txt" \
  "$build/shell/cli/velto-batch" --solver-folder "$build/tools/standin" "$work/quiet.in" > /dev/null
read -r user system wall < "$work/time.txt"
share=$(awk -v u="$user" -v s="$system" -v w="$wall" 'BEGIN { printf "%.2f", 100 * (u + s) / w }')
echo "velto-batch over a 10 s run: user ${user} s, system ${system} s, wall ${wall} s: ${share}% of the wall time"
if awk -v p="$share" 'BEGIN { exit !(p >= 2) }'; then
  echo "MISSED: the runner used 2% or more of the wall time"
  exit 1
fi
