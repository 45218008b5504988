#!/usr/bin/env bash
# Following benchmark: a listing the solver is still writing.
#  (a) From the last byte of a time's results written to its row printed by `velto-extract
#      follow`, over 10 times each written whole but for its last byte, which comes 0.3 s later.
#      Target: under 100 ms.
#  (b) The processor time `velto-extract follow` takes over 10 s while the listing does not grow
#      (its /proc/PID/stat, in clock ticks). Target: none measurable.
#  (c) Python's refresh() after 1 MB is appended to a ~1 GB listing, against velto.open (one
#      scan) of a 1 MB listing of the same model, and of the 1 GB one. Target: about the 1 MB
#      scan, not the 1 GB one.
#
# Usage: bench/follow.sh [BUILD_DIR] [SIZE]   (defaults: build, 1G; the listings go under /tmp)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
size=${2:-1G}
gen="$build/tools/velto-genlisting"
extract="$build/extract/cli/velto-extract"
python=/usr/bin/python3
work=$(mktemp -d /tmp/velto-follow-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
model=(--nodes 2000 --beams 400 --beam-points 3 --trusses 50 --shells 100 --soils 20
       --stress-tables 6 --tangent-tables 2)
echo "load: $(uptime)"
status=0

# (a) and (b): the writer and the clock are one Python process, which reads the follow's rows.
"$gen" "${model[@]}" --times 11 -o "$work/whole.out" > /dev/null
"$python" - "$extract" "$work" <<'PY' || status=1
import os, select, signal, subprocess, sys, time

extract, work = sys.argv[1], sys.argv[2]
text = open(f"{work}/whole.out", "rb").read()
ends = []  # where each time's results end: past its block's convergence line
at = text.index(b"  TIME =")
while (at := text.find(b"CONVERGENCE HAS BEEN OBTAINED.", at)) >= 0:
    at = text.index(b"\n", at) + 1
    ends.append(at)
listing = f"{work}/run.out"
with open(listing, "wb") as out:
    out.write(text[:ends[0]])  # the first time whole: the follow starts with its row
follow = subprocess.Popen([extract, "follow", listing, "--variable", "Displacements",
                           "--vector", "DOF2"], stdout=subprocess.PIPE)
pending = b""

def next_row(timeout):
    """The time at which the follow's next line came, or None after `timeout` seconds."""
    global pending
    until = time.monotonic() + timeout
    while b"\n" not in pending:
        if not select.select([follow.stdout], [], [], max(until - time.monotonic(), 0))[0]:
            return None
        pending += os.read(follow.stdout.fileno(), 65536)
    pending = pending[pending.index(b"\n") + 1:]
    return time.monotonic()

for _ in range(4):  # the three heading lines and the first time's row
    next_row(30)
delays = []
with open(listing, "ab", buffering=0) as out:
    for start, end in zip(ends, ends[1:]):
        out.write(text[start:end - 1])
        time.sleep(0.3)  # the follow has looked at it and waits again
        out.write(text[end - 1:end])
        written = time.monotonic()
        came = next_row(10)
        delays.append((came - written) * 1000 if came else float("inf"))
delays.sort()
print(f"(a) last byte of a time's results to its row: median {delays[len(delays) // 2]:.1f} ms, "
      f"worst {delays[-1]:.1f} ms over {len(delays)} times (target: under 100 ms)")

def ticks():
    with open(f"/proc/{follow.pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime

before = ticks()
time.sleep(10)
used = ticks() - before
hertz = os.sysconf("SC_CLK_TCK")
print(f"(b) velto-extract follow over 10 s of a listing that does not grow: {used} clock ticks "
      f"({used / hertz * 1000:.0f} ms of processor time; one tick is {1000 / hertz:.0f} ms; "
      f"target: none)")
follow.send_signal(signal.SIGINT)
follow.wait()
sys.exit(0 if delays[-1] < 100 and used == 0 else 1)
PY

# (c): a listing of about SIZE, the solver's last 5 MB kept back and appended a megabyte a time.
"$gen" "${model[@]}" --size "$size" -o "$work/big.out" > /dev/null
"$gen" "${model[@]}" --size 1M -o "$work/small.out" > /dev/null
bytes=$(stat -c %s "$work/big.out")
tail -c $((5 << 20)) "$work/big.out" > "$work/tail.bin"
truncate -s $((bytes - (5 << 20))) "$work/big.out"
PYTHONPATH="$build/python" "$python" - "$work" <<'PY' || status=1
import os, sys, time
import velto

work = sys.argv[1]

def best_open(path, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        velto.open(path).close()
        best = min(best, time.perf_counter() - start)
    return best

small = best_open(f"{work}/small.out", 5)
big = best_open(f"{work}/big.out", 3)
lst = velto.open(f"{work}/big.out")
size = os.path.getsize(f"{work}/big.out")
tail = open(f"{work}/tail.bin", "rb").read()
refreshes = []
with open(f"{work}/big.out", "ab") as out:
    for at in range(0, len(tail), 1 << 20):
        out.write(tail[at:at + (1 << 20)])
        out.flush()
        start = time.perf_counter()
        lst.refresh()
        refreshes.append(time.perf_counter() - start)
refreshes.sort()
print(f"(c) refresh() after 1 MB appended to a {size / 2**30:.2f} GiB listing: median "
      f"{refreshes[len(refreshes) // 2] * 1000:.1f} ms, best {refreshes[0] * 1000:.1f} ms; "
      f"velto.open of a 1 MB listing {small * 1000:.1f} ms; of the {size / 2**30:.2f} GiB one "
      f"{big * 1000:.0f} ms ({len(lst)} times, {lst.complete_times} complete)")
sys.exit(0 if refreshes[len(refreshes) // 2] < 3 * small else 1)
PY
exit $status
