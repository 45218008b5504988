"""A fire study over a batch of runs: when does each run's member pass its deflection limit?

A notebook-style walk through the velto package: several runs of one model (the same times, other
fire protection), all in one tidy frame with a `run` column, the first time each run's deflection
passes span/20, and a plot of them.

Run from the top of the repository after scripts/demo.sh (or scripts/build.sh):

    PYTHONPATH=build/python python3 examples/study.py [--span 3] [--out out/study] [LISTING ...]

With no listings given it makes three runs with velto-genlisting (build/tools/, the PATH, or
$VELTO_GENLISTING): a plane frame heated for two hours, unprotected and with 10 and 20 mm of fire
protection. The deflection of a run at a time is its largest vertical displacement (DOF2) at any
node, either way, in the model's length unit (m for the generated runs), as the span is. The plot
goes to OUT/deflections.png when matplotlib is installed (Debian: python3-matplotlib).
"""
import argparse
import os
import pathlib
import shutil
import subprocess

import pandas as pd

import velto

parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
parser.add_argument("listings", nargs="*", help="the runs' listings (*.out); three made if none")
parser.add_argument("--span", type=float, default=3.0,
                    help="the member's span, in the model's length unit (default: 3)")
parser.add_argument("--out", default="out/study", help="folder for made listings and the plot")
args = parser.parse_args()
out = pathlib.Path(args.out)
out.mkdir(parents=True, exist_ok=True)


def generated(folder):
    """Three runs of one frame at the same times, with 0, 10 and 20 mm of fire protection."""
    beside = pathlib.Path(__file__).resolve().parent.parent / "build/tools/velto-genlisting"
    program = (os.environ.get("VELTO_GENLISTING") or shutil.which("velto-genlisting")
               or str(beside))
    runs = {}
    for protection in (0, 10, 20):
        path = folder / f"protection-{protection}mm.out"
        subprocess.run([program, "--kind", "static", "--ndim", "2", "--nodes", "24", "--beams", "6",
                        "--times", "24", "--time-step", "300", "--protection", str(protection),
                        "-o", str(path)], check=True)
        runs[f"{protection} mm"] = path
    return runs


runs = {pathlib.Path(path).stem: path for path in args.listings} or generated(out)

# One tidy frame of every run: a row per run, time and node, values as the spreadsheets hold them.
frames = []
for run, path in runs.items():
    with velto.open(path) as listing:
        frames.append(listing.frame("Displacements", "DOF2", long=True).assign(run=run))
tidy = pd.concat(frames, ignore_index=True)
print(tidy.head())

# The deflection of a run at a time: the largest vertical displacement of any node, either way.
deflection = (tidy.assign(deflection=tidy["value"].abs())
              .groupby(["run", "time"], sort=False)["deflection"].max())
limit = args.span / 20
print(f"deflection limit: span/20 = {limit:g}")
for run in runs:
    of_run = deflection.loc[run]
    passing = of_run[of_run > limit]
    if len(passing):
        print(f"{run}: passes span/20 at {passing.index[0]:.15g} s ({passing.iloc[0]:.4g})")
    else:
        print(f"{run}: stays below span/20 (at most {of_run.max():.4g})")

# Each run's deflection against time, with the limit.
try:
    import matplotlib
    matplotlib.use("Agg")  # to a file, with or without a screen
    import matplotlib.pyplot as plt
except ImportError:
    print("matplotlib is not installed (Debian: python3-matplotlib): no plot")
else:
    figure, axes = plt.subplots(figsize=(7, 4))
    for run in runs:
        of_run = deflection.loc[run]
        axes.plot(of_run.index / 60, of_run.to_numpy(), label=run)
    axes.axhline(limit, color="black", linestyle="--", label="span/20")
    axes.set_xlabel("time (min)")
    axes.set_ylabel("deflection")
    axes.legend()
    figure.tight_layout()
    figure.savefig(out / "deflections.png")
    print(f"plot: {out / 'deflections.png'}")
