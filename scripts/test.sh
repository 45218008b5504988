#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
scripts/build.sh
cd build
ctest --output-on-failure
# Each test program again, whole, its tests in a shuffled order: a test that leans on what another
# left behind (settings, batch records, cluster jobs) fails here. The cluster tests need the
# one-node cluster that ctest starts and stops around them, and ran whole above.
for program in $(find tests -type f -name 'test_*' ! -name '*.*' -perm -u+x | sort); do
  case "$program" in */test_slurm_cluster) continue ;; esac
  echo "== $program --gtest_shuffle"
  "$program" --gtest_shuffle --gtest_brief=1
done
