#!/usr/bin/env bash
# Installs the velto package with pip from the source tree into a fresh virtual environment that
# sees Debian's numpy and pandas (--system-site-packages), with no network (--no-index,
# --no-build-isolation); then checks what pip installed, from outside the sources: its version is
# the project's, its files and dependencies are the package's, and an example reads a listing.
# Usage: check_pip_install.sh SOURCE_DIR SCRATCH_DIR VELTO_GENLISTING
set -euo pipefail
source=$1
scratch=$2
genlisting=$3
rm -rf "$scratch"
mkdir -p "$scratch"

fail() { echo "FAILED: $*" >&2; exit 1; }

/usr/bin/python3 -m venv --system-site-packages "$scratch/venv"
python="$scratch/venv/bin/python"
# The build goes to the scratch folder, not beside the sources; two jobs at most.
VELTO_PIP_BUILD="$scratch/build" CMAKE_BUILD_PARALLEL_LEVEL=2 \
  nice "$scratch/venv/bin/pip" install --no-build-isolation --no-index "$source" \
  > "$scratch/pip.log" 2>&1 || fail "pip install: $(tail -40 "$scratch/pip.log")"
# Files the build made beside the sources (an egg-info, a build folder) show as new or ignored.
left=$(git -C "$source" status --porcelain --ignored=matching --untracked-files=all -- python \
         .pip-build 2> /dev/null | grep -E '^(\?\?|!!)' || true)
[ -z "$left" ] || fail "the pip build left files in the sources: $left"

"$genlisting" --kind thermal --nodes 40 --times 12 --time-step 600 -o "$scratch/section.out" > /dev/null
cd "$scratch"
# The version the project declares, read here from the top CMakeLists.txt itself.
version=$(sed -n 's/^project(VeltoTools VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in $source/CMakeLists.txt"
env -u PYTHONPATH "$python" - "$scratch/venv/" "$version" "$scratch/section.out" <<'PYTHON' ||
import importlib.metadata
import sys

import velto

venv, version, listing = sys.argv[1:]
assert velto.__file__.startswith(venv), velto.__file__
assert importlib.metadata.version("velto") == version == velto.__version__, version
files = {str(f) for f in importlib.metadata.files("velto")}
for name in ("velto/__init__.py", "velto/py.typed", "velto/_velto.pyi"):
    assert name in files, (name, files)
assert any(f.startswith("velto/_velto.cpython-") and f.endswith(".so") for f in files), files
requires = importlib.metadata.requires("velto")
assert {"numpy", "pandas"} <= set(requires) and any(r.startswith("xarray") and "extra" in r
                                                    for r in requires), requires
assert velto.open(listing).frame("Temperature", items=3).columns.name == "node"
PYTHON
  fail "the installed package"
env -u PYTHONPATH "$python" "$source/examples/heating.py" "$scratch/section.out" \
  > "$scratch/heating.log" 2>&1 || fail "examples/heating.py: $(cat "$scratch/heating.log")"
grep -q '^node 1: 500 °C at [0-9]* s$' "$scratch/heating.log" ||
  fail "examples/heating.py printed: $(cat "$scratch/heating.log")"
echo "installed with pip: velto $version"
