#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ (clang, -DVELTO_FUZZ=ON) and runs each for
# SECONDS (default 60), starting from the corpus kept in build-fuzz/fuzz/corpus/ and the seeds
# fuzz/seeds.sh makes. Prints each target's executions and exit status. Exits non-zero when a
# target fails; the input that made it fail stays in build-fuzz/fuzz/crashes/.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2; }

scripts/setup.sh clang libclang-rt-14-dev

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF -DVELTO_FUZZ=ON > /dev/null
targets=(fuzz_listing fuzz_endtime fuzz_chunks)
# Only the targets and what they link: the rest of the project is not instrumented to run here.
cmake --build "$build" --target "${targets[@]}"
fuzz/seeds.sh "$build"

work="$build/fuzz"
mkdir -p "$work/crashes" "$work/logs"
failed=0
for target in "${targets[@]}"; do
  name="${target#fuzz_}"
  corpus="$work/corpus/$name"
  log="$work/logs/$name.log"
  mkdir -p "$corpus"
  # A single input running for 20 s is a hang: our inputs take milliseconds.
  status=0
  "$work/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=20 \
      -artifact_prefix="$work/crashes/$name-" "$corpus" "$work/seeds/$name" > "$log" 2>&1 ||
      status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  echo "$target: ${runs:-?} executions, exit status $status"
  if ((status != 0)); then
    failed=1
    grep -E '^(==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)' "$log" || tail -n 20 "$log"
  fi
done
exit "$failed"
