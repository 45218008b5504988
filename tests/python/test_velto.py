"""The velto module hands out what velto-extract exports, and refuses what it refuses."""
import concurrent.futures
import csv
import os
import pathlib
import subprocess

import numpy as np
import pytest

import velto

EXTRACT = os.environ["VELTO_EXTRACT"]
GENLISTING = os.environ["VELTO_GENLISTING"]


def listing(folder, name, *options):
    path = str(folder / name)
    subprocess.run([GENLISTING, *options, "-o", path], check=True, capture_output=True)
    return path


@pytest.fixture(scope="module")
def listings(tmp_path_factory):
    folder = tmp_path_factory.mktemp("listings")
    return {
        "frame": listing(folder, "frame.out", "--kind", "static", "--ndim", "3", "--nodes", "23",
                         "--trusses", "3", "--beams", "4", "--beam-points", "3", "--shells", "3",
                         "--area-points", "4", "--soils", "2", "--fibers", "12",
                         "--stress-tables", "2", "--tangent-tables", "2", "--times", "4"),
        "plane": listing(folder, "plane.out", "--kind", "dynamic", "--ndim", "2", "--nodes", "9",
                         "--beams", "2", "--times", "3"),
        # Times of a tenth, none of them exact in binary.
        "section": listing(folder, "section.out", "--kind", "thermal", "--nodes", "37",
                           "--times", "5", "--time-step", "0.1"),
    }


def exported(tmp_path, path, variable, vector, first, last, times):
    """The values velto-extract writes to CSV for this choice, as singles (times, items)."""
    out = tmp_path / "export.csv"
    command = [EXTRACT, "export", path, "-o", str(out), "--variable", variable,
               "--times", ",".join(map(str, times))]
    if vector:
        command += ["--vector", vector]
    if first is not None:
        command += ["--from", str(first), "--to", str(last)]
    subprocess.run(command, check=True, capture_output=True)
    with open(out, newline="", encoding="utf-8") as sheet:
        rows = list(csv.reader(sheet))[3:]
    return (np.array([[float(cell) for cell in row[1:]] for row in rows], dtype=np.float32),
            np.array([float(row[0]) for row in rows], dtype=np.float32))


def test_every_variable_gives_the_singles_of_the_export(listings, tmp_path):
    checked = 0
    for path in listings.values():
        lst = velto.open(path)
        for variable, vectors in lst.variables.items():
            for vector in ({vectors[0], vectors[-1]} if vectors else {None}):
                ranged = variable != "Eigen Values"
                count = lst.values(variable, vector).shape[1]
                items = [count, 1, count] if ranged else None
                times = [1, len(lst.times)]
                got = lst.values(variable, vector, items=items, times=times)
                # Times come in the order asked for.
                backwards = lst.values(variable, vector, items=items, times=times[::-1])
                assert backwards.tobytes() == got[::-1].tobytes()
                want, _ = exported(tmp_path, path, variable, vector, *(
                    (1, count) if ranged else (None, None)), times)
                want = want[:, [count - 1, 0, count - 1]] if ranged else want
                assert got.dtype == np.float32
                assert got.shape == want.shape, (variable, vector)
                assert got.tobytes() == want.tobytes(), (variable, vector)
                checked += 1
    assert checked >= 20


def test_what_the_listing_holds(listings):
    lst = velto.open(listings["frame"])
    assert (lst.version, lst.analysis, lst.ndim) == ("2026.1", "Structural", 3)
    assert lst.counts == {"nodes": 23, "solids": 0, "trusses": 3, "beams": 4, "shells": 3,
                          "soils": 2, "fibers": 12}
    assert lst.variables["Displacements"] == [f"DOF{n}" for n in range(1, 8)]
    assert lst.variables["Eigen Values"] == []
    assert velto.open(listings["plane"]).analysis == "Dynamical"
    section = velto.open(listings["section"])
    assert (section.analysis, list(section.variables)) == ("Temperature", ["Temperature"])
    assert section.times.dtype == np.float32 and section.times.shape == (5,)
    assert np.all(np.diff(section.times) > 0)


def test_frame_is_indexed_by_time_with_a_column_per_item(listings, tmp_path):
    """The index holds the times as the sheet shows them (0.2, not 0.2 widened from a single)."""
    section = velto.open(listings["section"])
    frame = section.frame("Temperature", items=[12, 37], times=[2, 5])
    assert frame.index.name == "Time"
    assert list(frame.columns) == ["Node 12", "Node 37"]
    want, times = exported(tmp_path, listings["section"], "Temperature", None, 12, 37, [2, 5])
    assert frame.index.to_numpy().astype(np.float32).tobytes() == times.tobytes()
    assert list(frame.index) == [0.2, 0.5]
    assert frame["Node 37"].to_numpy().tobytes() == want[:, -1].tobytes()
    back = tmp_path / "frame.csv"
    frame.to_csv(back)
    import pandas
    again = pandas.read_csv(back, index_col="Time").astype(np.float32)
    assert again.to_numpy().tobytes() == frame.to_numpy().tobytes()


def refusal(path, *options):
    run = subprocess.run([EXTRACT, "export", path, "-o", os.devnull + ".csv", *options],
                         capture_output=True, text=True)
    assert run.returncode != 0
    return run.stderr.strip().split(": ", 2)[-1]


def test_choices_are_refused_with_the_reasons_of_the_command_line(listings):
    path = listings["frame"]
    lst = velto.open(path)
    cases = [
        (("Heat",), {}, ["--variable", "Heat"]),
        (("Displacements", "DOF9"), {}, ["--variable", "Displacements", "--vector", "DOF9"]),
        (("Eigen Values", "X"), {}, ["--variable", "Eigen Values", "--vector", "X"]),
        (("Displacements",), {"times": [5]}, ["--variable", "Displacements", "--times", "5"]),
    ]
    for args, keywords, options in cases:
        with pytest.raises(ValueError) as raised:
            lst.values(*args, **keywords)
        assert str(raised.value) == refusal(path, *options)
    with pytest.raises(ValueError, match=r"item 24 does not lie in 1\.\.23 \(Nodes\)"):
        lst.values("Displacements", items=[1, 24])


def test_items_and_times_are_any_whole_numbers_checked_as_they_come(listings, tmp_path):
    lst = velto.open(listings["frame"])
    want = lst.values("Displacements", items=[3, 1], times=[2])
    for items in ((n for n in (3, 1)), np.array([3, 1]), [np.int64(3), 1], range(3, 0, -2)):
        assert lst.values("Displacements", items=items, times=(2,)).tobytes() == want.tobytes()
    # A huge range is refused at its end, not after it has been gone through.
    with pytest.raises(ValueError, match=r"item 999999999999 does not lie in 1\.\.23"):
        lst.values("Displacements", items=range(1, 10**12))
    for wrong in ([True], np.array([True, True]), [1.0], "12", [2**70]):
        with pytest.raises((TypeError, ValueError)):
            lst.values("Displacements", items=wrong)
    with pytest.raises(TypeError):
        lst.values("Displacements", times=[False])
    # Paths as Python takes them; a NUL in one is refused, not cut short.
    assert velto.open(pathlib.Path(listings["frame"])).counts == lst.counts
    assert velto.open(os.fsencode(listings["frame"])).counts == lst.counts
    for nul in (lambda: velto.open(listings["frame"] + "\0.txt"),
                lambda: lst.values("Displacements\0x")):
        with pytest.raises(ValueError, match="null byte"):
            nul()
    # Named from the folder it was opened in, whatever the folder is later; the name given back is
    # the file's, bytes that are not UTF-8 included.
    odd = tmp_path / os.fsdecode(b"caf\xe9.out")
    odd.write_bytes(open(listings["frame"], "rb").read())
    here = os.getcwd()
    try:
        os.chdir(tmp_path)
        relative = velto.open(os.fsdecode(b"caf\xe9.out"))
        os.chdir("/")
        assert relative.values("Displacements").tobytes() == lst.values("Displacements").tobytes()
    finally:
        os.chdir(here)
    assert relative.path == str(odd)
    # Only velto.open makes a listing: an empty one would have nothing to read.
    with pytest.raises(TypeError):
        velto.Listing.__new__(velto.Listing)


def test_unreadable_listings_raise_listing_error(listings, tmp_path):
    assert issubclass(velto.ListingError, Exception)
    with pytest.raises(velto.ListingError, match="^Read File Error 53: File not found$"):
        velto.open(str(tmp_path / "missing.out"))
    # Cut short after it was opened: an error, not an array half filled.
    cut = tmp_path / "cut.out"
    cut.write_bytes(open(listings["frame"], "rb").read())
    lst = velto.open(str(cut))
    with open(cut, "r+b") as shorter:
        shorter.truncate(os.path.getsize(cut) // 2)
    with pytest.raises(velto.ListingError, match="shorter than when it was opened"):
        lst.values("Displacements")


def test_readings_from_threads_do_not_mix(listings):
    lst = velto.open(listings["frame"])
    want = {v: lst.values("Displacements", v).tobytes() for v in ("DOF1", "DOF2")}
    with concurrent.futures.ThreadPoolExecutor(len(want)) as threads:
        got = threads.map(lambda v: [lst.values("Displacements", v) for _ in range(20)], want)
        for vector, arrays in zip(want, got):
            assert all(a.tobytes() == want[vector] for a in arrays)
