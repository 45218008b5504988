"""The examples, the README's Python and the package's types, as a user meets them."""
import csv
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

EXTRACT = os.environ["VELTO_EXTRACT"]
SOURCE = pathlib.Path(os.environ["VELTO_SOURCE"])


@pytest.fixture(autouse=True)
def own_home(tmp_path, monkeypatch):
    """Each test with a home and a configuration folder of its own."""
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "home" / ".config"))
    (tmp_path / "home" / ".config").mkdir(parents=True)


def run(*arguments, **options):
    done = subprocess.run([sys.executable, *map(str, arguments)], capture_output=True, text=True,
                          **options)
    assert done.returncode == 0, done.stderr
    return done.stdout


def first_passing(tmp_path, path, limit):
    """When the largest vertical displacement of any node first passes `limit`, from the sheet
    velto-extract exports (every node, DOF2, every time); None if it never does."""
    out = tmp_path / "deflections.csv"
    subprocess.run([EXTRACT, "export", str(path), "-o", str(out), "--variable", "Displacements",
                    "--vector", "DOF2", "--times", "all"], check=True, capture_output=True)
    with open(out, newline="", encoding="utf-8") as sheet:
        for row in list(csv.reader(sheet))[3:]:
            if max(abs(float(cell)) for cell in row[1:]) > limit:
                return float(row[0])
    return None


def test_the_study_finds_when_each_run_passes_span_over_20(tmp_path):
    """Run as its docstring says, with no listings: it makes three runs, prints the first time
    each passes the limit, and plots them."""
    out = tmp_path / "study"
    printed = run(SOURCE / "examples/study.py", "--span", "3", "--out", out, cwd=tmp_path)
    said = dict(re.findall(r"(?m)^(\d+ mm): (?:passes span/20 at (\S+) s|stays below)", printed))
    assert list(said) == ["0 mm", "10 mm", "20 mm"], printed
    for run_name, time in said.items():
        want = first_passing(tmp_path, out / f"protection-{run_name[:-3]}mm.out", 3 / 20)
        assert (float(time) if time else None) == want, run_name
    # The runs differ where a study needs them to: one passes, one stays below.
    assert said["0 mm"] and not said["20 mm"], printed
    if "no plot" in printed:
        pytest.skip("matplotlib is not installed: the plot was not drawn")
    assert (out / "deflections.png").read_bytes()[:4] == b"\x89PNG"


def test_the_study_takes_listings_and_goes_on_without_matplotlib(tmp_path):
    runs = [tmp_path / "study" / name for name in ("a.out", "b.out")]
    run(SOURCE / "examples/study.py", "--span", "4", "--out", tmp_path / "study", cwd=tmp_path)
    for name, made in zip(runs, ("protection-0mm.out", "protection-10mm.out")):
        name.write_bytes((tmp_path / "study" / made).read_bytes())
    hidden = tmp_path / "hidden" / "matplotlib"
    hidden.mkdir(parents=True)
    hidden.joinpath("__init__.py").write_text("raise ImportError('hidden by the test')\n")
    environment = dict(os.environ, PYTHONPATH=f"{hidden.parent}:{os.environ['PYTHONPATH']}")
    printed = run(SOURCE / "examples/study.py", "--span", "4", "--out", tmp_path / "plain",
                  *runs, cwd=tmp_path, env=environment)
    assert "matplotlib is not installed (Debian: python3-matplotlib): no plot" in printed
    assert not (tmp_path / "plain" / "deflections.png").exists()
    for path in runs:
        want = first_passing(tmp_path, path, 4 / 20)
        line = re.search(rf"(?m)^{path.stem}: (.*)$", printed).group(1)
        assert line.startswith(f"passes span/20 at {want:.15g} s" if want else "stays below")


def test_the_readme_python_runs_as_written(tmp_path):
    """Each Python block of the README's Python section, from the top of the sources."""
    readme = (SOURCE / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Listings in Python", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert blocks
    script = tmp_path / "readme.py"
    script.write_text("\n".join(blocks))
    run(script, cwd=SOURCE)


@pytest.mark.parametrize("script, errors", [
    ("import numpy as np\nimport pandas as pd\nimport velto\n"
     "lst: velto.Listing = velto.open('frame.out')\n"
     "a: np.ndarray[Any, Any] = lst.values('Temperature', items=3, times=slice(0, 60),\n"
     "                                      dtype='float64')\n"
     "n: int = len(lst) + lst.ndim\n"
     "b = lst.values('D', vectors=['DOF1', 'DOF2']) + lst.values('D', vectors='all')\n"
     "names: list[str] = list(lst) + lst['Temperature'].vectors\n"
     "with velto.open('other.out') as other:\n"
     "    t = other.times[0] + other.frame('Temperature', ['A', 'B'], long=True).size\n"
     "n += other.refresh() + other.complete_times\n"
     "for at, row in velto.follow('run.out', 'Temperature', items=[3], idle=60.0):\n"
     "    t = at + float(row[0])\n"
     "try:\n"
     "    velto.open(b'~/x.out')\n"
     "except velto.ListingError as error:\n"
     "    print(error.filename, error.errno)\n", []),
    ("import velto\n"
     "lst = velto.open(3)\n"
     "lst.values(3)\n"
     "lst.frame('Temperature', long='yes')\n"
     "x: str = lst.ndim\n"
     "velto.follow('run.out', 'Temperature', idle='1')\n"
     "lst.values('Displacements', vectors='everything')\n", [2, 3, 4, 5, 6, 7]),
], ids=["right", "wrong"])
def test_type_checkers_know_the_api(tmp_path, script, errors):
    """mypy reads the package's types (py.typed): right uses pass, wrong ones are named."""
    api = pytest.importorskip("mypy.api")
    path = tmp_path / "use.py"
    path.write_text("from typing import Any\n" + script)
    common = ["--strict", "--ignore-missing-imports", "--cache-dir", str(tmp_path / "cache")]
    printed, _, _ = api.run([*common, str(path)])
    assert sorted({int(n) - 1 for n in re.findall(r"use\.py:(\d+): error", printed)}) == errors, \
        printed
    if not errors:  # the package itself agrees with the compiled part's stub
        printed, _, status = api.run([*common, "-p", "velto"])
        assert status == 0, printed
