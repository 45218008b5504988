"""A listing the solver is still writing: complete_times, refresh() and follow() against what
velto-extract exports of the finished file."""
import csv
import os
import pathlib
import random
import re
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

import velto

EXTRACT = os.environ["VELTO_EXTRACT"]
GENLISTING = os.environ["VELTO_GENLISTING"]


@pytest.fixture(autouse=True)
def own_home(tmp_path, monkeypatch):
    """Each test with a home and a configuration folder of its own."""
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "home" / ".config"))
    (tmp_path / "home" / ".config").mkdir(parents=True)


def generated(folder, name, *options):
    path = folder / name
    subprocess.run([GENLISTING, *options, "-o", str(path)], check=True, capture_output=True)
    return path


def exported(folder, path, variable, vector, first, last):
    """The times and the values (float32, times x items) of `export --format csv`, every time."""
    out = folder / "export.csv"
    command = [EXTRACT, "export", str(path), "-o", str(out), "--format", "csv", "--variable",
               variable] + (["--vector", vector] if vector else [])
    command += ["--from", str(first), "--to", str(last)] if first else []
    subprocess.run(command, check=True, capture_output=True)
    with open(out, newline="", encoding="utf-8") as sheet:
        rows = list(csv.reader(sheet))[3:]
    return ([float(row[0]) for row in rows],
            np.array([[float(cell) for cell in row[1:]] for row in rows], dtype=np.float32))


class Solver(threading.Thread):
    """Appends `text` to the file at `path` in random pieces, with short pauses, as a solver
    writes its listing; `done` once all of it is written."""

    def __init__(self, path, text, seed):
        super().__init__()
        self.path, self.text, self.random, self.done = path, text, random.Random(seed), False

    def run(self):
        with open(self.path, "ab", buffering=0) as out:
            at = 0
            while at < len(self.text):
                piece = self.random.randint(1, 400)
                out.write(self.text[at:at + piece])
                at += piece
                time.sleep(self.random.random() * 0.003)
        self.done = True

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *raised):
        self.join()


@pytest.mark.parametrize("options, variable, vector, first, last", [
    (["--kind", "thermal", "--nodes", "23"], "Temperature", None, None, None),
    (["--kind", "thermal", "--nodes", "23", "--line-end", "crlf"], "Temperature", None, 2, 9),
    (["--nodes", "9", "--beams", "2", "--stress-tables", "2"], "Beam Stresses",
     "Beam 1 (Point 2)", 1, 7),
    (["--nodes", "9", "--beams", "2", "--line-end", "crlf"], "Displacements", "DOF2", 2, 8),
], ids=["thermal LF", "thermal CR LF", "structural LF", "structural CR LF"])
def test_refresh_and_follow_end_with_what_the_export_of_the_finished_listing_gives(
        tmp_path, options, variable, vector, first, last):
    finished = generated(tmp_path, "finished.out", *options, "--times", "8")
    text = finished.read_bytes()
    times, want = exported(tmp_path, finished, variable, vector, first, last)
    items = range(first, last + 1) if first else None
    seed = random.randrange(1 << 30)

    path = tmp_path / "refreshed.out"
    path.write_bytes(b"")
    with Solver(path, text, seed) as solver:
        lst = None
        while lst is None:  # until the head has come
            try:
                lst = velto.open(path)
            except velto.ListingError:
                time.sleep(0.001)
        counted = lst.complete_times
        while True:
            done = solver.done
            counted += lst.refresh()
            complete = lst.times[:lst.complete_times]
            assert complete.tolist() == times[:len(complete)], seed
            if len(complete):
                got = lst.values(variable, vector, items, times=complete)
                assert got.tobytes() == want[:len(complete)].tobytes(), seed
            if done:
                break
    assert (lst.times.tolist(), lst.complete_times, counted) == (times, 8, 8), seed

    # Ended by the input file's end time, long before the idle time.
    path = tmp_path / "followed.out"
    path.write_bytes(b"")
    (tmp_path / "followed.in").write_text("TIME\n 60 480\nEND_TIME\n")
    started = time.monotonic()
    with Solver(path, text, seed + 1):
        followed = list(velto.follow(path, variable, vector, items, idle=60))
    assert time.monotonic() - started < 30
    assert [at for at, _ in followed] == times, seed
    assert all(type(at) is float and row.dtype == np.float32 for at, row in followed)
    assert np.array([row for _, row in followed]).tobytes() == want.tobytes(), seed


def test_a_time_whose_tables_are_still_to_come_is_not_complete_yet(tmp_path):
    text = generated(tmp_path, "whole.out", "--nodes", "6", "--beams", "2", "--times", "4",
                     "--time-step", "600").read_bytes()
    table = text.index(b"TOTAL DISPLACEMENTS", text.index(b"1800.0000 SEC."))
    cut = table
    for _ in range(4):  # its two heading lines and two value lines
        cut = text.index(b"\n", cut) + 1
    cut += 12  # and a third value line cut short
    path = tmp_path / "run.out"
    path.write_bytes(text[:cut])
    lst = velto.open(path)
    assert (len(lst), lst.complete_times) == (3, 2)
    for times in (None, [1800], slice(1200, None)):
        with pytest.raises(velto.ListingError, match=r"^time 3 \(1800 s\) is not complete yet$"):
            lst.values("Displacements", "DOF2", times=times)
    assert lst.frame("Beam Axial Force", times=lst.times[:2]).shape == (2, 2)

    with open(path, "ab") as out:
        out.write(text[cut:])
    assert (lst.refresh(), lst.refresh(), lst.complete_times, len(lst)) == (2, 0, 4, 4)
    os.truncate(path, cut)
    with pytest.warns(velto.ListingRestartWarning,
                      match=rf"^{re.escape(str(path))} was cut short: it is read again from its "
                            r"start$") as said:
        assert lst.refresh() == 2
    assert [w.filename for w in said] == [__file__]
    assert (len(lst), lst.complete_times) == (3, 2)

    # A table missing from a whole time is damage, told as ever.
    second = text.index(b"1200.0000 SEC.")
    start = text.index(b"INTERNAL SOLLICITATIONS", second)
    damaged = tmp_path / "damaged.out"
    damaged.write_bytes(text[:start] + text[text.index(b"CONVERGENCE", start):])
    with pytest.raises(velto.ListingError, match=r"^62: .*the time holds no such table"):
        velto.open(damaged).values("Beam Axial Force", times=[1200])


def test_a_listing_cut_short_or_replaced_while_followed_is_read_again(tmp_path):
    path = generated(tmp_path, "run.out", "--nodes", "6", "--beams", "1", "--times", "5")
    text = path.read_bytes()
    generated(tmp_path, "next.out", "--nodes", "6", "--beams", "1", "--times", "5",
              "--time-step", "100")
    followed = velto.follow(path, "Displacements", "DOF2", items=3, idle=30)
    assert [next(followed)[0] for _ in range(5)] == [60, 120, 180, 240, 300]
    os.truncate(path, text.index(b"  TIME =", text.index(b"180.0000 SEC.")))
    with pytest.warns(velto.ListingRestartWarning, match="was cut short") as said:
        assert [next(followed)[0] for _ in range(3)] == [60, 120, 180]
    os.rename(tmp_path / "next.out", path)
    with pytest.warns(velto.ListingRestartWarning, match="was replaced by another file"):
        assert next(followed)[0] == 100
    assert [w.filename for w in said] == [__file__]
    followed.close()


def test_idle_time_and_ctrl_c_end_the_following(tmp_path):
    path = generated(tmp_path, "run.out", "--kind", "thermal", "--nodes", "5", "--times", "3")
    assert [at for at, _ in velto.follow(path, "Temperature", idle=0.2)] == [60, 120, 180]
    with pytest.raises(ValueError, match="idle is a number of seconds above 0"):
        velto.follow(path, "Temperature", idle=0)
    with pytest.raises(ValueError, match="does not offer"):
        velto.follow(path, "Displacements")
    with pytest.raises(velto.ListingNotFoundError):
        velto.follow(tmp_path / "none.out", "Temperature")

    followed = velto.follow(path, "Temperature", idle=60)
    assert len([next(followed) for _ in range(3)]) == 3
    started = time.monotonic()
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        next(followed)
    assert time.monotonic() - started < 30  # the wait, not the idle time, was ended
    timer.join()
