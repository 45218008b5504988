#!/usr/bin/env bash
# Installs the Debian packages that building and running the tools need, only when one is missing;
# with --tests, also those that only the tests need. Further arguments are more packages.
set -euo pipefail
cd "$(dirname "$0")/.."

# Qt: the runner's event loop, settings and pipes, the windows, and the charts (Charts needs the
# OpenGL development files). libxlsxwriter (found through pkg-config, linked with zlib): the .xlsx
# export. pybind11, numpy and pandas: the Python module. GoogleTest: the build builds the tests
# too. dpkg-dev and file: CPack's Debian package and its dependencies.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev qt6-base-dev
          qt6-charts-dev qt6-svg-dev libqt6opengl6-dev dpkg-dev file
          pkg-config libxlsxwriter-dev zlib1g-dev
          python3-dev pybind11-dev python3-numpy python3-pandas)

# LibreOffice, Node and npm: the tests that open our spreadsheets with readers we did not write;
# python3-uno: LibreOffice's Python bridge, through which a test lifts a sheet's protection.
# Slurm and munge: the one-node cluster that the cluster tests start. locales: a test builds a
# decimal-comma locale from its sources. time: the peak memory that the benchmarks measure.
# xarray, matplotlib and mypy: the Python package's optional parts, the study's plot and the
# package's types; venv, pip, setuptools and wheel: its install with pip, without network.
tests=(python3-pytest libreoffice-calc-nogui python3-uno nodejs npm slurmctld slurmd
       slurm-client munge locales time python3-xarray python3-matplotlib python3-mypy
       python3-venv python3-pip python3-setuptools python3-wheel)

for_tests=false
if [ "${1:-}" = --tests ]; then
  shift
  for_tests=true
  packages+=("${tests[@]}")
fi
packages+=("$@")

# Installed, or provided by an installed package: NodeSource's nodejs carries npm, and asking
# apt for Debian's npm beside it fails on a conflict.
installed() {
  dpkg -s "$1" > /dev/null 2>&1 && return 0
  dpkg-query -W -f='${db:Status-Abbrev}|${Provides}\n' 2> /dev/null |
    awk -F'|' -v name="$1" '$1 ~ /^ii/ {
      n = split($2, provided, / *, */)
      for (i = 1; i <= n; i++) { sub(/ .*/, "", provided[i]); if (provided[i] == name) found = 1 }
    } END { exit !found }'
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# SheetJS (npm xlsx), the other reader the tests open our spreadsheets with, into .deps/node
# beside the sources: a test run then needs no network. Skipped once its version is in place.
if $for_tests; then
  node tests/readers/readers.js install "$PWD/.deps/node" npm > /dev/null
fi
