#!/usr/bin/env bash
# Installs the build into a staging folder and checks that the installed programs start and find
# their help; then builds the Debian package and checks its contents and dependencies.
# Usage: check_install.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
stage="$scratch/stage"

fail() { echo "FAILED: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage/usr" > "$scratch/install.log"
for program in velto-extract velto-batch VeltoExtract VeltoShell; do
  [ -x "$stage/usr/bin/$program" ] || fail "$program is not installed"
done
for page in VeltoExtract/index.html VeltoShell/index.html; do
  [ -f "$stage/usr/share/velto-tools/help/$page" ] || fail "help page $page is not installed"
done
icons=()
for name in veltoextract veltoshell; do
  icons+=("icons/hicolor/scalable/apps/$name.svg")
  for size in 16 24 32 48 64 128 256; do  # each picture of the size its folder says
    icons+=("icons/hicolor/${size}x$size/apps/$name.png")
    file "$stage/usr/share/${icons[-1]}" | grep -q ", $size x $size," || fail "${icons[-1]}"
  done
done
for file in applications/veltoextract.desktop applications/veltoshell.desktop "${icons[@]}"; do
  [ -f "$stage/usr/share/$file" ] || fail "$file is not installed"
done
grep -q '^Exec=VeltoShell$' "$stage/usr/share/applications/veltoshell.desktop" || fail "desktop entry"
for name in veltoextract veltoshell; do
  grep -q "^Icon=$name\$" "$stage/usr/share/applications/$name.desktop" || fail "$name's desktop entry names no icon of ours"
done

"$stage/usr/bin/velto-extract" --version | grep -q '^velto-extract ' || fail "velto-extract --version"
"$stage/usr/bin/velto-batch" --version | grep -q '^velto-batch ' || fail "velto-batch --version"
"$stage/usr/bin/velto-extract" info "$(dirname "$0")/../../samples/frame.out" > "$scratch/info.txt" ||
  fail "velto-extract info on the sample"
grep -q 'Analysis:  Structural' "$scratch/info.txt" || fail "velto-extract info output"
# plot loads its drawing from lib/velto under the prefix.
plot() {
  "$1" plot "$(dirname "$0")/../../samples/section.out" -o "$2" --variable Temperature \
    > "$scratch/plot.log" 2>&1 || fail "$1 plot: $(cat "$scratch/plot.log")"
  [ "$(head -c 4 "$2" | tail -c 3)" = PNG ] || fail "$1 plot wrote no PNG"
}
plot "$stage/usr/bin/velto-extract" "$scratch/installed.png"
# The Python package, in the site folder of the prefix, and in Debian's folder in the package:
# the whole of it (its Python, its compiled part, its types).
python=/usr/bin/python3
module() {  # FOLDER: the package imported from there reads the sample
  for file in __init__.py py.typed _velto.pyi; do
    [ -f "$1/velto/$file" ] || fail "the velto package in $1 lacks $file"
  done
  # A sanitized module wants its runtime loaded first (the build says which, if any).
  env ${VELTO_PYTHON_PRELOAD:+LD_PRELOAD="$VELTO_PYTHON_PRELOAD" ASAN_OPTIONS=detect_leaks=0} \
    PYTHONPATH="$1" "$python" -c "import sys, velto
lst = velto.open(sys.argv[1])
assert velto.__file__ == sys.argv[2] + '/velto/__init__.py', velto.__file__
assert velto._velto.__file__.startswith(sys.argv[2] + '/velto/_velto.'), velto._velto.__file__
assert lst.values('Displacements', 'DOF2').shape == (len(lst.times), lst.counts['nodes'])
assert list(lst.frame('Displacements', items=[2, 5]).columns) == [2, 5]" \
    "$(dirname "$0")/../../samples/frame.out" "$1" || fail "the velto package in $1"
}
module "$(ls -d "$stage"/usr/lib/python3.*/dist-packages)"

# The windows start offscreen and keep running until stopped: still alive after 3 s is a start.
export XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=offscreen
for program in VeltoExtract VeltoShell; do
  status=0
  timeout 3 "$stage/usr/bin/$program" > "$scratch/$program.log" 2>&1 || status=$?
  [ "$status" -eq 124 ] || fail "$program ended with status $status: $(cat "$scratch/$program.log")"
done

# The Debian package.
(cd "$build" && cpack -G DEB -B "$scratch/package" > "$scratch/cpack.log") || fail "cpack: $(tail "$scratch/cpack.log")"
deb=$(ls "$scratch"/package/velto-tools_*.deb)
dpkg-deb -c "$deb" > "$scratch/contents.txt"
grep -q ' ./usr/lib/python3/dist-packages/velto/_velto\.cpython-.*\.so$' "$scratch/contents.txt" ||
  fail "the package lacks the Python package's compiled part"
for file in __init__.py py.typed _velto.pyi; do
  grep -q " ./usr/lib/python3/dist-packages/velto/$file\$" "$scratch/contents.txt" ||
    fail "the package lacks the Python package's $file"
done
for path in ./usr/bin/velto-extract ./usr/bin/VeltoShell ./usr/lib/velto/velto-chart.so \
            ./usr/share/velto-tools/help/VeltoShell/index.html "${icons[@]/#/./usr/share/}"; do
  grep -q " $path\$" "$scratch/contents.txt" || fail "the package lacks $path"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends" | grep -q 'libqt6widgets6' || fail "the package does not depend on Qt Widgets: $depends"
echo "$depends" | grep -q 'libqt6charts6' || fail "the package does not depend on Qt Charts: $depends"
echo "$depends" | grep -q 'python3-numpy' || fail "the package does not depend on numpy: $depends"
echo "$depends" | grep -q 'python3-pandas' || fail "the package does not depend on pandas: $depends"
dpkg-deb -x "$deb" "$scratch/unpacked"
"$scratch/unpacked/usr/bin/velto-extract" --version > /dev/null || fail "the packaged velto-extract does not start"
plot "$scratch/unpacked/usr/bin/velto-extract" "$scratch/packaged.png"
module "$scratch/unpacked/usr/lib/python3/dist-packages"
echo "installed and packaged: $deb"
