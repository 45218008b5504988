#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets from our own tools, in BUILD_DIR/fuzz/seeds/:
#   listing/  small velto-genlisting listings of every kind, dimension and line end
#   endtime/  the stand-in's sample input files and a few variants
#   chunks/   the stand-in's console output, as fuzz_chunks reads it (chunk size byte, end time)
# Usage: fuzz/seeds.sh BUILD_DIR   (a configured build folder; the tools are built there)
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(cd "${1:?usage: fuzz/seeds.sh BUILD_DIR}" && pwd)"

cmake --build "$build_dir" --target velto_genlisting velto_standin > /dev/null
genlisting="$build_dir/tools/velto-genlisting"
standin="$build_dir/tools/standin/velto"

seeds="$build_dir/fuzz/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/listing" "$seeds/endtime" "$seeds/chunks"

# Listings: each table kind once, two times, few items, so one run stays cheap.
model=(--nodes 7 --solids 2 --trusses 1 --beams 2 --shells 1 --soils 1 --beam-points 2
       --area-points 2 --fibers 7 --stress-tables 2 --tangent-tables 1 --times 2)
for kind in thermal static dynamic; do
  for ndim in 2 3; do
    for end in lf crlf cr; do
      "$genlisting" --kind "$kind" --ndim "$ndim" --line-end "$end" "${model[@]}" \
          -o "$seeds/listing/$kind-$ndim-$end.out" > /dev/null
    done
  done
done
"$genlisting" --kind torsion "${model[@]}" -o "$seeds/listing/torsion.out" > /dev/null
"$genlisting" --kind static --no-displacements --nodes 3 --beams 1 --times 1 \
    -o "$seeds/listing/static-beams-only.out" > /dev/null

# Hostile listings: a count no listing could fill, a time beyond a double, no line ends at all.
sed 's/THERE ARE *7 NODES/THERE ARE 2147483647 NODES/' "$seeds/listing/static-2-lf.out" \
    > "$seeds/listing/damaged-count.out"
sed '0,/TIME =  *[0-9.E+-]*/s//TIME = 1E400/' "$seeds/listing/static-2-lf.out" \
    > "$seeds/listing/time-beyond-double.out"
head -c 4096 /dev/zero > "$seeds/listing/no-line-ends.out"

# End times: the sample batch, and the keywords in other spellings and line ends.
cp "$source_dir"/samples/batch/*.in "$seeds/endtime/"
printf 'TIME\r\n  10  3600\r\n  20  7200.5\r\nEND_TIME\r\n' > "$seeds/endtime/crlf.in"
printf 'TIME\r  1  1E3\r END_TIME \r' > "$seeds/endtime/cr.in"
printf '  TIME  \n\t10 60\n 5 1.5D2\ntime\n 1 9\nEND_TIME\nTIME\n 1 2\n' > "$seeds/endtime/mixed.in"
printf 'TIME\n  10  1e400\nEND_TIME\n' > "$seeds/endtime/beyond-double.in"
head -c 4096 /dev/zero > "$seeds/endtime/no-line-ends.in"

# Console output: the stand-in's own run, prompt included.
run="$(mktemp -d)"
trap 'rm -rf "$run"' EXIT
for kind in thermal static; do
  printf 'VELTO INPUT\nTIME\n  10  3600\nEND_TIME\nSTANDIN KIND %s\nSTANDIN STEPS 6\nSTANDIN PACE 0\n' \
      "$kind" > "$run/$kind.in"
  (cd "$run" && echo "$kind" | "$standin" > "$kind.console")
done
# The first byte is the chunk size less one, the next four the end time as a little-endian
# Single (3600 is 0x45610000).
end_time='\x00\x00\x61\x45'
for size in 256:'\xff' 40:'\x27' 1:'\x00'; do
  for kind in thermal static; do
    { printf "${size#*:}$end_time"; cat "$run/$kind.console"; } > "$seeds/chunks/$kind-${size%%:*}.txt"
  done
done
printf '\x10\x00\x00\x00\x00  Step: TIME = 5 s\n  time =  1E39\n' > "$seeds/chunks/zero-end.txt"

echo "seeds in $seeds: $(ls "$seeds/listing" | wc -l) listings, $(ls "$seeds/endtime" | wc -l)" \
     "input files, $(ls "$seeds/chunks" | wc -l) console outputs"
