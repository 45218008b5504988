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
build/shell/cli/velto-batch --solver-folder build/tools/standin out/batch/*.in
echo
echo "== velto-extract on the listings the batch wrote"
build/extract/cli/velto-extract info out/batch/section-0mm.out
for run in section-0mm section-10mm section-20mm; do
  build/extract/cli/velto-extract export "out/batch/$run.out" -o "out/$run-temperatures.xls" \
    --variable Temperature --columns
  build/extract/cli/velto-extract plot "out/batch/$run.out" -o "out/$run-temperatures.png" \
    --variable Temperature --from 1 --to 17 --step 4
  echo "Spreadsheet and chart (0 to 80 mm deep) written: $(pwd)/out/$run-temperatures.{xls,png}"
done
