#!/usr/bin/env bash
# Python module benchmark: the peak memory a read adds, against the array it gives back. A read
# fills the returned array in the memory the listing's values were read into, so the peak it
# adds is the result itself: target, at most 1.1 x the result for values() (singles), for
# frame() (the sheets' doubles) and for three vectors read at once, each measured in a process
# of its own. Then the time of three DOFs read at once against one DOF's (the listing's lines
# are walked once for all three: about one read's time, where three reads take three), and the
# time of one DOF of every node against the reading part of its CSV export (the extraction
# without the sheet, velto-bench-export ... every): target, at most 1.1 x.
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
for call in values frame vectors; do
  ratio=$(PYTHONPATH="$build/python" "$python" - "$listing" "$call" <<'PY'
import resource, sys
import velto

path, call = sys.argv[1], sys.argv[2]
lst = velto.open(path)
three = {"vectors": ["DOF1", "DOF2", "DOF3"]} if call == "vectors" else {}
call = "values" if three else call
getattr(lst, call)("Displacements", items=[1], times=lst.times[:1], **three)  # libraries in
# The peak so far stands; what the read adds is measured against the process's size before it.
with open("/proc/self/statm") as statm:
    before = int(statm.read().split()[1]) * resource.getpagesize()
got = getattr(lst, call)("Displacements", None if three else "DOF2", **three)
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
reading=$("$build/bench/velto-bench-export" "$listing" Displacements 1 every | awk '{ print $3 }')
PYTHONPATH="$build/python" "$python" - "$listing" "$reading" <<'PY' || missed=1
import sys, time
import velto

lst = velto.open(sys.argv[1])
lst.values("Displacements", "DOF2")  # the listing in the page cache


def best(read, runs=5):
    took = []
    for _ in range(runs):
        start = time.perf_counter()
        read()
        took.append(time.perf_counter() - start)
    return min(took)


one = best(lambda: lst.values("Displacements", "DOF2"))
apart = best(lambda: [lst.values("Displacements", v) for v in ("DOF1", "DOF2", "DOF3")])
once = best(lambda: lst.values("Displacements", vectors=["DOF1", "DOF2", "DOF3"]))
print(f"one DOF {one:.3f} s; three DOFs in three reads {apart:.3f} s ({apart / one:.2f} x), "
      f"in one read {once:.3f} s ({once / one:.2f} x one DOF's)")
reading = float(sys.argv[2])
print(f"one DOF of every node {one:.3f} s, the CSV export's reading part {reading:.3f} s: "
      f"{one / reading:.2f} x it (target 1.1)")
if one / reading > 1.1:
    print("  MISSED: values() costs more than 1.1 x the export's reading")
    sys.exit(1)
PY
exit $missed
