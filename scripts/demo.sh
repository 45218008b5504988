#!/usr/bin/env bash
# The main job on the bundled samples: installs what building and running need, builds, runs the
# stand-in solver over the sample input files with velto-batch (one section, three protection
# thicknesses), shows what a listing it wrote holds, and exports results (all nodes, all times) to
# spreadsheets and charts.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
echo
echo "== velto-extract info samples/frame.out"
build/extract/cli/velto-extract info samples/frame.out
echo
echo "== velto-extract export samples/frame.out -o out/frame-displacements.xls --variable Displacements --vector DOF2"
mkdir -p out
build/extract/cli/velto-extract export samples/frame.out -o out/frame-displacements.xls \
  --variable Displacements --vector DOF2
echo "Spreadsheet written: $(pwd)/out/frame-displacements.xls"

echo
echo "== velto-batch over samples/batch/*.in (the stand-in solver: one section in the standard fire"
echo "   for two hours, with 0, 10 and 20 mm of fire protection)"
rm -rf out/batch
mkdir -p out/batch
cp samples/batch/*.in out/batch/
build/shell/cli/velto-batch --solver-folder build/tools/standin --export "--all" out/batch/*.in
echo "Each run's listing was exported after the run: $(pwd)/out/batch/section-*.xlsx"
echo
echo "== velto-extract on the listings the batch wrote"
build/extract/cli/velto-extract info out/batch/section-0mm.out
build/extract/cli/velto-extract plot out/batch/section-0mm.out -o out/section-0mm-temperatures.png \
  --variable Temperature --from 1 --to 17 --step 4
echo "Chart of the unprotected section, 0 to 80 mm deep: $(pwd)/out/section-0mm-temperatures.png"
echo
echo "== velto-extract compare: node 5 (20 mm deep) in the three runs"
build/extract/cli/velto-extract compare out/batch/section-*.out -o out/protection.xlsx \
  --variable Temperature --item 5
build/extract/cli/velto-extract compare out/batch/section-*.out -o out/protection.png \
  --variable Temperature --item 5
echo "Comparison written: $(pwd)/out/protection.{xlsx,png}"
