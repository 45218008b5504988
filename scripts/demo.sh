#!/usr/bin/env bash
# The main job on the bundled sample: installs what is missing, builds, and shows what the
# sample result listing holds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
echo
echo "== velto-extract info samples/frame.out"
build/extract/cli/velto-extract info samples/frame.out
