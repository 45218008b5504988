"""Builds the velto Python package for pip: the compiled part with the project's own CMake (the
Python package and the libraries it is made of, no Qt), the rest as it stands in python/velto.

    python3 -m venv --system-site-packages v && v/bin/pip install --no-build-isolation .

Needs cmake, a C++20 compiler, pybind11 (Debian's pybind11-dev), libxlsxwriter and the Python
headers. CMAKE_BUILD_PARALLEL_LEVEL limits the build's jobs; VELTO_PIP_BUILD names the folder it
builds in (.pip-build beside this file when unset).
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

TOP = pathlib.Path(__file__).resolve().parent
BUILD = pathlib.Path(os.environ.get("VELTO_PIP_BUILD") or TOP / ".pip-build").resolve()
BUILD.mkdir(parents=True, exist_ok=True)


def version():
    """The project's version, as the top CMakeLists.txt declares it: one place for it."""
    text = (TOP / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(\s*VeltoTools\s+VERSION\s+([0-9][0-9.]*)", text).group(1)


class CMakeBuild(build_ext):
    """Builds velto._velto with CMake and puts it where setuptools packs the extension."""

    def build_extension(self, ext):
        folder = BUILD / "cmake"
        configure = ["cmake", "-S", str(TOP), "-B", str(folder), "-DCMAKE_BUILD_TYPE=Release",
                     "-DBUILD_TESTING=OFF", "-DVELTO_PYTHON_ONLY=ON",
                     f"-DPython3_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja") and not (folder / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(folder), "--target", "velto_python"], check=True)
        built = next((folder / "python" / "velto").glob("_velto.*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(version=version(),
      ext_modules=[Extension("velto._velto", sources=[])],
      cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": str(BUILD)}, "egg_info": {"egg_base": str(BUILD)}})
