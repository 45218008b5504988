#!/usr/bin/env bash
# Workbook benchmark: what an .xlsx export costs against one scan, against the same export to
# .csv, and against the workbook library's own work, on the structural listing of
# bench/selection.sh (20000 nodes, 5000 beams, 610 times, about 1 GB; made when missing).
#
# Targets (ratios in one run, same cached listing):
#   255 nodes x all times to .xlsx    at most 2.5 x the time of `velto-extract info`;
#   2000 nodes x all times to .xlsx   at most 1.2 x the library's floor: velto-bench-xlsx-floor,
#                                     which hands the very cells of the same export's .csv to
#                                     libxlsxwriter from memory, as the export does, and closes
#                                     the workbook, on one thread (its sheet is the export's, byte
#                                     for byte);
#   all nodes x all times to .xlsx    (a row per node: a row per time would need 20001 columns)
#                                     at most 1.2 x the floor's time per cell;
#   peak memory of every export       under 64 MiB.
# The .xlsx exports are also shown against the same exports to .csv, without a target: about 60%
# of an .xlsx export is the library's deflate and a quarter its printf of each double, and no
# public option of libxlsxwriter 1.1.4 changes either, so the floor is the bound.
#
# Usage: bench/xlsx.sh [BUILD_DIR] [WORK_DIR] [TIMES]   (defaults: build, /tmp/velto-bench, 610)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=${2:-/tmp/velto-bench}
times=${3:-610}
gen="$build/tools/velto-genlisting"
extract="$build/extract/cli/velto-extract"
floorbench="$build/bench/velto-bench-xlsx-floor"
mkdir -p "$work"
listing="$work/selection-$times.out"
if [ ! -f "$listing" ]; then
  "$gen" --nodes 20000 --beams 5000 --times "$times" -o "$listing" > /dev/null
fi
cat "$listing" > /dev/null  # into the page cache: every run reads the same cached file

# Each export writes a new file (see bench/selection.sh): the previous run's is removed first.
out="$work/xlsx-bench"
mkdir -p "$out"
dof=(--variable Displacements --vector DOF2)
scan=(info "$listing")
few_xlsx=(export "$listing" -o "$out/few.xlsx" "${dof[@]}" --from 1 --to 255)
few_xls=(export "$listing" -o "$out/few.xls" "${dof[@]}" --from 1 --to 255)
many_xlsx=(export "$listing" -o "$out/many.xlsx" "${dof[@]}" --from 1 --to 2000)
many_csv=(export "$listing" -o "$out/many.csv" "${dof[@]}" --from 1 --to 2000)
all_xlsx=(export "$listing" -o "$out/all.xlsx" "${dof[@]}" --columns)
all_csv=(export "$listing" -o "$out/all.csv" "${dof[@]}" --columns)
clean() { rm -f "$out"/*.xlsx "$out"/*.xls "$out"/*.csv; }
. bench/timing.sh
floor() {  # the library's floor on the cells of the 2000-node .csv: its own count of seconds
  rm -f "$out/floor/book.xlsx"
  "$floorbench" "$out/floor/cells.csv" "$out/floor/book.xlsx" | awk '{ print $(NF - 1) }'
}
mkdir -p "$out/floor"
"$extract" export "$listing" -o "$out/floor/cells.csv" "${dof[@]}" --from 1 --to 2000 > /dev/null

# The commands take turns, five rounds, and each keeps its best time (see bench/selection.sh).
t_scan="" t_few_xlsx="" t_few_xls="" t_many_xlsx="" t_many_csv="" t_floor="" t_all_xlsx="" t_all_csv=""
for _ in 1 2 3 4 5; do
  t_scan=$(least "$(seconds "$extract" "${scan[@]}")" "$t_scan")
  t_few_xlsx=$(least "$(seconds "$extract" "${few_xlsx[@]}")" "$t_few_xlsx")
  t_few_xls=$(least "$(seconds "$extract" "${few_xls[@]}")" "$t_few_xls")
  t_many_xlsx=$(least "$(seconds "$extract" "${many_xlsx[@]}")" "$t_many_xlsx")
  t_many_csv=$(least "$(seconds "$extract" "${many_csv[@]}")" "$t_many_csv")
  t_floor=$(least "$(floor)" "$t_floor")
  t_all_xlsx=$(least "$(seconds "$extract" "${all_xlsx[@]}")" "$t_all_xlsx")
  t_all_csv=$(least "$(seconds "$extract" "${all_csv[@]}")" "$t_all_csv")
done
m_scan=$(peak "$extract" "${scan[@]}")
m_few_xlsx=$(peak "$extract" "${few_xlsx[@]}")
m_few_xls=$(peak "$extract" "${few_xls[@]}")
m_many_xlsx=$(peak "$extract" "${many_xlsx[@]}")
m_many_csv=$(peak "$extract" "${many_csv[@]}")
m_all_xlsx=$(peak "$extract" "${all_xlsx[@]}")
m_all_csv=$(peak "$extract" "${all_csv[@]}")
clean
rm -rf "$out"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# Cells of each sheet: a row per time holds the times and the nodes' values, a row per node the
# nodes and the values; the three heading rows add a few.
few_xlsx=$(ratio "$t_few_xlsx" "$t_scan")
few_xls=$(ratio "$t_few_xls" "$t_scan")
many=$(ratio "$t_many_xlsx" "$t_many_csv")
overFloor=$(ratio "$t_many_xlsx" "$t_floor")
all=$(ratio "$t_all_xlsx" "$t_all_csv")
cells_many=$((2000 * times + times + 2000 + 4))
cells_all=$((20000 * times + times + 20000 + 4))
allOverFloor=$(awk -v a="$t_all_xlsx" -v f="$t_floor" -v ca="$cells_all" -v cm="$cells_many" \
  'BEGIN { printf "%.2f", (a / ca) / (f / cm) }')
printf '%s: %d bytes, %s times; load %s\n' "$(basename "$listing")" "$(stat -c %s "$listing")" \
  "$times" "$(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '  scan (info)                      %6.3f s  %6d KiB\n' "$t_scan" "$m_scan"
printf '  255 nodes x all times, .xlsx     %6.3f s  %6d KiB  %s x the scan (target 2.5)\n' \
  "$t_few_xlsx" "$m_few_xlsx" "$few_xlsx"
printf '  255 nodes x all times, .xls      %6.3f s  %6d KiB  %s x the scan\n' \
  "$t_few_xls" "$m_few_xls" "$few_xls"
printf '  2000 nodes x all times, .csv     %6.3f s  %6d KiB\n' "$t_many_csv" "$m_many_csv"
printf '  2000 nodes x all times, .xlsx    %6.3f s  %6d KiB  %s x the .csv\n' \
  "$t_many_xlsx" "$m_many_xlsx" "$many"
printf '  library floor, the same cells    %6.3f s            the .xlsx is %s x it (target 1.2)\n' \
  "$t_floor" "$overFloor"
printf '  all nodes (row per node), .csv   %6.3f s  %6d KiB\n' "$t_all_csv" "$m_all_csv"
printf '  all nodes (row per node), .xlsx  %6.3f s  %6d KiB  %s x the .csv\n' \
  "$t_all_xlsx" "$m_all_xlsx" "$all"
printf '                                   a cell costs %s x the floor'"'"'s (target 1.2)\n' \
  "$allOverFloor"
status=0
awk -v r="$few_xlsx" 'BEGIN { exit !(r > 2.5) }' &&
  { echo "  MISSED: 255 nodes to .xlsx cost more than 2.5 scans"; status=1; }
awk -v r="$overFloor" 'BEGIN { exit !(r > 1.2) }' &&
  { echo "  MISSED: 2000 nodes to .xlsx cost more than 1.2 x the library's floor"; status=1; }
awk -v r="$allOverFloor" 'BEGIN { exit !(r > 1.2) }' &&
  { echo "  MISSED: a cell of all nodes to .xlsx costs more than 1.2 x the floor's"; status=1; }
for kib in "$m_few_xlsx" "$m_few_xls" "$m_many_xlsx" "$m_many_csv" "$m_all_xlsx" "$m_all_csv"; do
  ((kib > 65536)) && { echo "  MISSED: peak memory above 64 MiB ($kib KiB)"; status=1; }
done
exit $status
