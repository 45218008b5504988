#!/usr/bin/env bash
# Measures the reliability figures and writes them into the README's Reliability section:
# fuzz executions per target (scripts/fuzz.sh for SECONDS each), the malformed listings tried,
# and the fault cases tried, all with nothing lost (the counts are of passing runs only).
# Usage: scripts/reliability-figures.sh [SECONDS]   (default 60; needs a build in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

fuzz_output=$(scripts/fuzz.sh "$seconds")
echo "$fuzz_output"

malformed=$(build/tests/reader/test_malformed | sed -n 's/^malformed \([a-z]*\) cases: \([0-9]*\)$/\1 \2/p')
structural=$(echo "$malformed" | awk '$1 == "structural" { print $2 }')
thermal=$(echo "$malformed" | awk '$1 == "thermal" { print $2 }')

# Fault cases: every saving fault in every format, every misbehaving solver, every failed-save
# and damaged-listing case of the suites; each must pass for the count to stand.
fault_tests='SaveFaults|SolverFaults|FailedSave|FailedXlsxAndCsvSaves|Unwritable|Locked|CutShort|CountsBeyond|MissingTable|MissingSolver'
(cd build && ctest -R "$fault_tests" > /tmp/velto-fault-tests.log) || {
  cat /tmp/velto-fault-tests.log
  echo "a fault test failed: no figures written" >&2
  exit 1
}
faults=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' /tmp/velto-fault-tests.log)

{
  echo "<!-- reliability-figures: written by scripts/reliability-figures.sh on $(date -u +%Y-%m-%d) -->"
  echo
  echo "| what | figure |"
  echo "|---|---|"
  echo "$fuzz_output" | sed -n 's/^\(fuzz_[a-z]*\): \([0-9?]*\) executions, exit status 0$/| libFuzzer `\1`, '"$seconds"' s | \2 executions, no finding |/p'
  echo "| malformed structural listings opened and exported | $structural, none crashed or hung |"
  echo "| malformed thermal listings opened and exported | $thermal, none crashed or hung |"
  echo "| fault cases (saving, solvers, damaged listings) | $faults, nothing lost |"
  echo
  echo "<!-- /reliability-figures -->"
} > /tmp/velto-figures.md

python3 - /tmp/velto-figures.md <<'PY'
import re, sys
figures = open(sys.argv[1]).read()
readme = open("README.md").read()
pattern = re.compile(r"<!-- reliability-figures.*?<!-- /reliability-figures -->\n", re.S)
if pattern.search(readme):
    readme = pattern.sub(lambda m: figures, readme)
else:
    readme = readme.replace("## Layout\n", "## Reliability\n\n" + figures + "\n## Layout\n")
open("README.md", "w").write(readme)
PY
echo "README.md: Reliability figures updated"
