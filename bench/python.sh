#!/usr/bin/env bash
# Python module benchmark: the peak memory a read adds, against the array it gives back. A read
# fills the returned array in the memory the listing's values were read into, so the peak it
# adds is the result itself: target, at most 1.1 x the result for values() (singles) and for
# frame() (the sheets' doubles), each measured in a process of its own.
#
# Usage: bench/python.sh [BUILD_DIR] [WORK_DIR]   (defaults: build, /tmp/velto-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=${2:-/tmp/velto-bench}
mkdir -p "$work"
listing="$work/python-20000x1000.out"
if [ ! -f "$listing" ]; then
  "$build/tools/velto-genlisting" --kind static --nodes 20000 --times 1000 -o "$listing" > /dev/null
fi
python=/usr/bin/python3
missed=0
for call in values frame; do
  ratio=$(PYTHONPATH="$build/python" "$python" - "$listing" "$call" <<'PY'
import resource, sys
import velto

path, call = sys.argv[1], sys.argv[2]
lst = velto.open(path)
getattr(lst, call)("Displacements", "DOF2", items=[1], times=lst.times[:1])  # libraries in
# The peak so far stands; what the read adds is measured against the process's size before it.
with open("/proc/self/statm") as statm:
    before = int(statm.read().split()[1]) * resource.getpagesize()
got = getattr(lst, call)("Displacements", "DOF2")
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
result = got.to_numpy().nbytes if call == "frame" else got.nbytes
print(f"{(peak - before) / result:.3f} {result / 2**20:.0f}")
PY
)
  read -r factor mib <<< "$ratio"
  printf '%-7s 20000 nodes x 1000 times (%s MiB): peak %s x the result (target 1.1)\n' \
    "$call()" "$mib" "$factor"
  awk -v r="$factor" 'BEGIN { exit !(r > 1.1) }' && { echo "  MISSED"; missed=1; }
done
exit $missed
