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
# and damaged-listing case of the suites, and the hostile inputs, names and signals; each must
# pass for the count to stand.
fault_tests='SaveFaults|SolverFaults|FailedSave|FailedXlsxAndCsvSaves|Unwritable|Locked|CutShort|CountsBeyond|MissingTable|MissingSolver|HugeRequests|SignalsWhileWriting|LineBeyond|PipeIsRefused|NamesAreMadeSafe|NamesThatWouldRunTheWrongFileAreRefused|OddNamesRunAsGivenAndPrintSafely|BatchesSideBySideKeepTheirOwnRecords|InputsThatCannotBeReadFailWithTheReason|AddRefusesWhatCannotRunAndListsEachFileOnce|AnUnreadableJournalIsKeptAside|ARefusedJobLeavesNothingBehind|AJobFolderWithABackslashInItsPath|FileNamesReachTheTerminal|SaveSignals|StopWithSeveralJobsFinishesTheBatchOnce|BatchJournalSize|AFileThatCannotBeReadSaysWhy'
(cd build && ctest -R "$fault_tests" > /tmp/velto-fault-tests.log) || {
  cat /tmp/velto-fault-tests.log
  echo "a fault test failed: no figures written" >&2
  exit 1
}
faults=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' /tmp/velto-fault-tests.log)

# Hostile inputs, each run as a user would: what the program answers, its peak memory and time.
hostile=$(mktemp -d)
trap 'rm -rf "$hostile"' EXIT
extract=build/extract/cli/velto-extract
measure() {  # measure LABEL COMMAND...: one table row
  local label="$1"
  shift
  local status=0
  /usr/bin/time -f '%M %e' -o "$hostile/time" "$@" > "$hostile/err" 2>&1 || status=$?
  # The first line that answers: not velto-batch's banner nor its running status.
  local answer
  answer=$(grep -v -e '^Velto ' -e ': Running$' "$hostile/err" | head -n 1 | sed 's/|/\\|/g')
  read -r kib seconds < <(tail -n 1 "$hostile/time")
  printf '| %s | %s (exit status %s) | %s MiB, %s s |\n' "$label" "${answer:-no message}" \
      "$status" "$((kib / 1024))" "$seconds"
}
truncate -s 3G "$hostile/endless.out"  # sparse: no disk used
mkfifo "$hostile/pipe.out"
build/tools/velto-genlisting --nodes 30 --times 6 -o "$hostile/frame.out" > /dev/null
sed 's/THERE ARE *30 NODES/THERE ARE 2147483647 NODES/' "$hostile/frame.out" > "$hostile/damaged.out"
bomb=$(printf '1-1000000,%.0s' $(seq 12000))
hostile_rows=$(
  measure 'a 3 GB listing without line ends: `info`' "$extract" info "$hostile/endless.out"
  measure 'a FIFO as listing: `info`' timeout 10 "$extract" info "$hostile/pipe.out"
  measure 'a listing declaring 2147483647 nodes: `export` to CSV' \
      "$extract" export "$hostile/damaged.out" -o "$hostile/x.csv" --variable Displacements
  measure '`--times` of 12000 ranges 1-1000000' "$extract" export "$hostile/frame.out" \
      -o "$hostile/x.xls" --variable Displacements --times "${bomb%,}"
  measure '`--from 1e400`' "$extract" export "$hostile/frame.out" -o "$hostile/x.xls" \
      --variable Displacements --from 1e400
  # velto-batch with the stand-in solver, in a home of its own so no real record is touched.
  mkdir -p "$hostile/home" "$hostile/batch"
  truncate -s 3G "$hostile/batch/endless.in"
  mkfifo "$hostile/batch/pipe.in"
  printf 'TIME\n 1 60\nEND_TIME\n' > "$hostile/batch/d.in"
  cp "$hostile/batch/d.in" "$hostile/batch/new
line.in"
  # Run from the batch's folder, so the answers name the files as a user would give them.
  batch=(env -C "$hostile/batch" HOME="$hostile/home" "$PWD/build/shell/cli/velto-batch"
         --solver-folder "$PWD/build/tools/standin")
  measure 'a 3 GB input file without line ends: `velto-batch`' "${batch[@]}" endless.in
  measure 'a FIFO as input file: `velto-batch`' timeout 10 "${batch[@]}" pipe.in
  measure 'an input file whose name holds a line end' "${batch[@]}" "new
line.in"
  measure 'the same input twice, `d.in ./d.in`' "${batch[@]}" d.in ./d.in
)
echo "$hostile_rows"

# Signals while the file is written: Ctrl+C, SIGTERM and SIGHUP in every format; what is left in
# the target's folder afterwards (nothing, if all is well).
build/tools/velto-genlisting --nodes 20000 --times 40 -o "$hostile/large.out" > /dev/null
mkdir "$hostile/out"
signal_runs=0
signal_clean=0
for format in xls xlsx csv; do
  for signal in INT TERM HUP; do
    "$extract" export "$hostile/large.out" -o "$hostile/out/values.$format" \
        --variable Displacements --columns > /dev/null 2>&1 &
    pid=$!
    for _ in $(seq 20000); do
      [ -n "$(ls -A "$hostile/out")" ] && break
      sleep 0.001
    done
    kill "-$signal" "$pid" 2> /dev/null || true
    wait "$pid" || true
    signal_runs=$((signal_runs + 1))
    [ -z "$(ls -A "$hostile/out")" ] && signal_clean=$((signal_clean + 1))
    rm -rf "$hostile/out" && mkdir "$hostile/out"
  done
done
echo "signals while writing: $signal_clean of $signal_runs left nothing"

{
  echo "<!-- reliability-figures: written by scripts/reliability-figures.sh on $(date -u +%Y-%m-%d) -->"
  echo
  echo "| what | figure |"
  echo "|---|---|"
  echo "$fuzz_output" | sed -n 's/^\(fuzz_[a-z]*\): \([0-9?]*\) executions, exit status 0$/| libFuzzer `\1`, '"$seconds"' s | \2 executions, no finding |/p'
  echo "| malformed structural listings opened and exported | $structural, none crashed or hung |"
  echo "| malformed thermal listings opened and exported | $thermal, none crashed or hung |"
  echo "| fault cases (saving, solvers, damaged listings, hostile inputs and signals) | $faults, nothing lost |"
  echo "| Ctrl+C, SIGTERM, SIGHUP while a file is written, each format | $signal_clean of $signal_runs runs left no file behind |"
  echo
  echo "| hostile input | answer | peak memory, time |"
  echo "|---|---|---|"
  echo "$hostile_rows"
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
