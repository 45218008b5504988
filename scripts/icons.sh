#!/usr/bin/env bash
# Renders the programs' icons (packaging/icons/*.svg) to the PNG sizes the windows and the
# desktop use, into packaging/icons/png/. NAME-16.svg, where there is one, is the same icon drawn
# on the 16 px grid, and gives that size. The PNGs are kept in the repository: run this after
# changing an icon.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v rsvg-convert > /dev/null || scripts/setup.sh librsvg2-bin
mkdir -p packaging/icons/png
for name in veltoshell veltoextract; do
  for size in 16 24 32 48 64 128 256; do
    source=packaging/icons/$name.svg
    [ -f "packaging/icons/$name-$size.svg" ] && source=packaging/icons/$name-$size.svg
    rsvg-convert -w "$size" -h "$size" "$source" -o "packaging/icons/png/$name-$size.png"
  done
done
