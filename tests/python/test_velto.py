"""The velto module hands out what velto-extract exports, and refuses what it refuses."""
import concurrent.futures
import csv
import errno
import inspect
import locale
import os
import pathlib
import pickle
import re
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
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
        # Times of a tenth, none of them exact in binary; "protected" is another run at the same
        # times.
        "section": listing(folder, "section.out", "--kind", "thermal", "--nodes", "37",
                           "--times", "12", "--time-step", "0.1"),
        "protected": listing(folder, "protected.out", "--kind", "thermal", "--nodes", "37",
                             "--times", "12", "--time-step", "0.1", "--protection", "10"),
        "heat": listing(folder, "heat.out", "--kind", "thermal", "--nodes", "12", "--times", "3"),
    }


@pytest.fixture(autouse=True)
def own_home(tmp_path, monkeypatch):
    """Each test with a home and a configuration folder of its own."""
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "home" / ".config"))
    (tmp_path / "home" / ".config").mkdir(parents=True)


def exported(tmp_path, path, variable, vector, first, last, times, dtype=np.float32, heading=None):
    """The values velto-extract writes to CSV for this choice, as singles (times, items) or, with
    dtype=np.float64, as the doubles the sheet stores, and the times as the sheet stores them.
    `times`: 1-based numbers, or "all". `heading`, a list, receives the sheet's column heads."""
    out = tmp_path / "export.csv"
    command = [EXTRACT, "export", path, "-o", str(out), "--variable", variable,
               "--times", times if isinstance(times, str) else ",".join(map(str, times))]
    if vector:
        command += ["--vector", vector]
    if first is not None:
        command += ["--from", str(first), "--to", str(last)]
    subprocess.run(command, check=True, capture_output=True)
    with open(out, newline="", encoding="utf-8") as sheet:
        rows = list(csv.reader(sheet))
    if heading is not None:
        heading.extend(rows[2][1:])
    rows = rows[3:]
    return (np.array([[float(cell) for cell in row[1:]] for row in rows], dtype=dtype),
            np.array([float(row[0]) for row in rows]))


def test_every_variable_gives_the_singles_of_the_export(listings, tmp_path):
    checked = 0
    for path in listings.values():
        lst = velto.open(path)
        for variable, vectors in lst.variables.items():
            for vector in ({vectors[0], vectors[-1]} if vectors else {None}):
                ranged = variable != "Eigen Values"
                count = lst.values(variable, vector).shape[1]
                items = [count, 1, count] if ranged else None
                seconds = lst.times[[0, -1]]
                got = lst.values(variable, vector, items=items, times=seconds)
                # Times come in the order asked for.
                backwards = lst.values(variable, vector, items=items, times=seconds[::-1])
                assert backwards.tobytes() == got[::-1].tobytes()
                want, _ = exported(tmp_path, path, variable, vector, *(
                    (1, count) if ranged else (None, None)), [1, len(lst.times)])
                if ranged and count > 1:
                    # Put in the order asked in the memory read into, as singles and as the
                    # sheet's doubles.
                    wide, _ = exported(tmp_path, path, variable, vector, 1, count,
                                       [1, len(lst.times)], dtype=np.float64)
                    for dtype, sheet in (("float32", want), ("float64", wide)):
                        swapped = lst.values(variable, vector, items=[count, 1], times=seconds,
                                             dtype=dtype)
                        assert swapped.tobytes() == sheet[:, [count - 1, 0]].tobytes(), dtype
                want = want[:, [count - 1, 0, count - 1]] if ranged else want
                assert got.dtype == np.float32
                assert got.shape == want.shape, (variable, vector)
                assert got.tobytes() == want.tobytes(), (variable, vector)
                checked += 1
    assert checked >= 20


def test_several_vectors_in_one_read_are_each_vectors_own(listings):
    """vectors= reads them at once, (times, items, vectors) in the order named: each slice is the
    one vector's read (checked against the export above), items in any order and repeated."""
    checked = 0
    for path in listings.values():
        lst = velto.open(path)
        for variable, vectors in lst.variables.items():
            ranged = variable != "Eigen Values"
            count = lst.values(variable).shape[1]
            items = [count, 1, count] if ranged else None
            named = vectors[::-1] + vectors[:1] if vectors else [""]
            # Repeated items, and items in another order than read.
            for dtype, chosen in (("float32", items), ("float64", items and items[:2])):
                got = lst.values(variable, vectors=named, items=chosen, dtype=dtype)
                assert got.shape == (len(lst.times), len(chosen or [1]), len(named)), variable
                for k, vector in enumerate(named):
                    alone = lst.values(variable, vector or None, items=chosen, dtype=dtype)
                    assert got[:, :, k].tobytes() == alone.tobytes(), (variable, vector, dtype)
            every = lst[variable].values(vectors="all", items=items)
            assert every.tobytes() == lst.values(variable, vectors=vectors or [""],
                                                 items=items).tobytes()
            checked += 1
    assert checked >= 15
    lst = velto.open(listings["frame"])
    with pytest.raises(ValueError, match="no vector is chosen"):
        lst.values("Displacements", vectors=[])
    with pytest.raises(TypeError, match="not both"):
        lst.values("Displacements", "DOF1", vectors=["DOF2"])
    with pytest.raises(TypeError, match='vector="DOF1"'):
        lst.values("Displacements", vectors="DOF1")
    with pytest.raises(ValueError, match="DOF9"):
        lst.values("Displacements", vectors=["DOF1", "DOF9"])
    # Said in the module's words, not the binding's.
    for wrong in ({"vectors": ["DOF1", None]}, {"vectors": 3}, {"vector": 2}):
        with pytest.raises(TypeError, match="is (a list of vectors' names|a name|one vector's name)"):
            lst.values("Displacements", **wrong)
    with pytest.raises(TypeError, match="variable is a name, not NoneType"):
        lst.values(None)


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
    assert section.times.dtype == np.float64 and section.times.shape == (12,)
    assert np.all(np.diff(section.times) > 0)
    assert repr(section).endswith(": Temperature, 12 times from 0.1 to 1.2 s>")


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
    ]
    for args, keywords, options in cases:
        # A unit is refused for the very reason its values are.
        for ask in (lst.values, lst.unit, lst.quantity):
            with pytest.raises(ValueError) as raised:
                ask(*args, **keywords)
            assert str(raised.value) == refusal(path, *options)


def test_items_are_any_whole_numbers_checked_as_they_come(listings, tmp_path):
    lst = velto.open(listings["frame"])
    want = lst.values("Displacements", items=[3, 1], times=[120])
    for items in ((n for n in (3, 1)), np.array([3, 1]), [np.int64(3), 1], range(3, 0, -2)):
        assert lst.values("Displacements", items=items, times=(120,)).tobytes() == want.tobytes()
    # A huge range is refused at its end, not after it has been gone through.
    with pytest.raises(ValueError, match=r"item 999999999999 does not lie in 1\.\.23"):
        lst.values("Displacements", items=range(1, 10**12))
    for wrong in ([True], np.array([True, True]), [1.0], "12", [2**70]):
        with pytest.raises((TypeError, ValueError)):
            lst.values("Displacements", items=wrong)
    # Paths as Python takes them; a NUL in one is refused, not cut short.
    assert velto.open(pathlib.Path(listings["frame"])).counts == lst.counts
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


def test_unreadable_listings_raise_the_oserror_python_raises(listings, tmp_path):
    """A missing file, a folder and a file not ours to read raise the OSError Python's own open
    raises, each also a velto.ListingError carrying the tools' message and the file's name, and
    each comes back whole through pickle (as from a process pool)."""
    assert issubclass(velto.ListingError, OSError)
    missing = str(tmp_path / "missing.out")
    for name, python_error, number, message in (
            (missing, FileNotFoundError, errno.ENOENT,
             f"Read File Error 53: File not found ({missing})"),
            (str(tmp_path), IsADirectoryError, errno.EISDIR,
             f"Read File Error 75: Path/File access error ({tmp_path} is a folder)")):
        with pytest.raises(python_error) as raised:
            velto.open(name)
        error = raised.value
        assert isinstance(error, velto.ListingError)
        assert (str(error), error.filename, error.errno) == (message, name, number)
        again = pickle.loads(pickle.dumps(error))
        assert (type(again), str(again), again.errno, again.filename) == (
            type(error), message, error.errno, error.filename)
    # Not a listing at all (no solver's banner): said so; a listing cut short after its banner
    # is a damaged listing, and only the tools' message is given.
    text = tmp_path / "notes.out"
    text.write_text("Fire test notes\n")
    with pytest.raises(velto.ListingError, match=r"^Read File Error 62: Input past end of file "
                                                 rf"\({re.escape(str(text))} is not a Velto "
                                                 r"listing\)$") as raised:
        velto.open(text)
    assert raised.value.errno is None and raised.value.filename == str(text)
    head = tmp_path / "head.out"
    head.write_text("".join(open(listings["heat"]).readlines()[:3]))  # the banner, then nothing
    with pytest.raises(velto.ListingError, match=r"^Read File Error 62: Input past end of file$"):
        velto.open(head)
    # Cut short after it was opened: an error, not an array half filled.
    cut = tmp_path / "cut.out"
    cut.write_bytes(open(listings["frame"], "rb").read())
    lst = velto.open(str(cut))
    with open(cut, "r+b") as shorter:
        shorter.truncate(os.path.getsize(cut) // 2)
    with pytest.raises(velto.ListingError, match="shorter than when it was opened"):
        lst.values("Displacements")


def test_damaged_tables_raise_and_short_lines_warn(listings, tmp_path):
    """A table whose lines are shifted is refused naming its line; a line short of the value
    gives 0, and a warning says so."""
    lines = open(listings["plane"]).read().split("\n")
    heading = next(k for k, line in enumerate(lines) if "NODE    DOF 1" in line)
    damaged = tmp_path / "damaged.out"
    damaged.write_text("\n".join(lines[:heading + 2] + lines[heading + 3:]))
    with pytest.raises(velto.ListingError,
                       match=rf"^damaged\.out, line {heading + 3} \(Displacements at [0-9.]+ s\): "
                             r'"3" stands where Node 2 belongs'):
        velto.open(str(damaged)).values("Displacements", "DOF2")
    short = tmp_path / "short.out"
    short.write_text("\n".join(lines[:heading + 2] + [lines[heading + 2][:20]]
                               + lines[heading + 3:]))
    lst = velto.open(str(short))
    with pytest.warns(UserWarning, match="^1 value is missing from the listing's lines and stands "
                                         "as 0; the first is Node 2 at ") as said:
        got = lst.values("Displacements", "DOF2", items=[1, 2])
    assert got[0, 1] == 0 and got[0, 0] != 0
    # Said at the script's line, whichever way the values were asked for.
    with pytest.warns(UserWarning) as through_frame:
        lst["Displacements"]["DOF2"].frame(items=[1, 2], long=True)
    assert [w.filename for w in [*said, *through_frame]] == [__file__] * 2
    with pytest.warns(UserWarning, match="^1 value is missing"):
        both = lst.values("Displacements", vectors=["DOF2", "DOF1"], items=[1, 2])
    assert both[:, :, 0].tobytes() == got.tobytes() and both[0, 1, 1] != 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        lst.values("Displacements", "DOF1", items=[1, 2])  # DOF1 is there: nothing said
    # A value split in two moves the rest of its line: read with the values before it, the
    # split one is still found out.
    node = lines[heading + 2]
    third = [m.start() for m in re.finditer(r"\S+", node)][3]
    split = tmp_path / "split.out"
    split.write_text("\n".join(lines[:heading + 2] + [node[:third + 4] + " " + node[third + 4:]]
                               + lines[heading + 3:]))
    lst = velto.open(str(split))
    lst.values("Displacements", vectors=["DOF1", "DOF2"], items=[1, 2])
    with pytest.raises(velto.ListingError, match=r"line \d+ \(Displacements at .*Node 2"):
        lst.values("Displacements", vectors=["DOF1", "DOF2", "DOF3"], items=[1, 2])


def test_a_count_no_file_could_hold_is_refused_before_room_is_taken(listings, tmp_path):
    """A head claiming a billion nodes in a small file: refused as velto-extract refuses it, in a
    process given far less memory than the claim would take."""
    text = open(listings["frame"], encoding="latin-1").read()
    damaged = tmp_path / "claims.out"
    damaged.write_text(re.sub(r"THERE ARE +23 NODES", "THERE ARE 999999999 NODES", text),
                       encoding="latin-1")
    # (A sanitized build reserves far more address space than it uses: there the limit is left.)
    script = ("import resource, velto\n"
              "if 'libasan' not in open('/proc/self/maps').read():\n"
              "    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
              f"lst = velto.open({str(damaged)!r})\n"
              "for read in (lambda: lst.values('Displacements'), lambda: lst.coordinates,\n"
              "             lambda: lst.values('Displacements', vectors='all')):\n"
              "    try:\n"
              "        read()\n"
              "    except velto.ListingError as error:\n"
              "        print(error)\n")
    said = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          check=True).stdout.splitlines()
    assert said[0] == said[2] == "62: Input past end of file"
    assert said[1].startswith("Read File Error 13: Type mismatch in claims.out, line ")


def test_a_listing_not_ours_to_read_raises_permission_error(listings, tmp_path):
    """Tried by a user other than root, who reads every file: as "nobody" when the test runs as
    root."""
    private = tmp_path / "private"
    private.mkdir()
    path = private / "heat.out"
    path.write_bytes(open(listings["heat"], "rb").read())
    private.chmod(0o700)
    os.chmod(tmp_path, 0o755)
    script = ("import sys, velto\n"
              "try:\n"
              "    velto.open(sys.argv[1])\n"
              "except PermissionError as error:\n"
              "    assert isinstance(error, velto.ListingError)\n"
              "    print(error.errno, error.filename, error, sep='|')\n")
    user = {"user": "nobody"} if os.geteuid() == 0 else {}
    if not user:
        path.chmod(0)
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True,
                          text=True, cwd="/", **user)
    assert done.stdout == f"{errno.EACCES}|{path}|Read File Error 70: Permission denied ({path})\n", \
        done.stderr


def test_names_that_name_no_listing_say_why(tmp_path):
    for empty in ("", b""):
        with pytest.raises(ValueError, match="no listing given"):
            velto.open(empty)
    with pytest.raises(velto.ListingError, match=r"\(the name is too long\)$"):
        velto.open(str(tmp_path / ("n" * 300 + ".out")))


def test_kernel_files_are_refused_without_waiting():
    """/proc/kmsg is a regular file to stat whose reading waits for the kernel's next message:
    velto.open refuses it at once. Tried in a child, so that a wait fails the test, not the run."""
    try:
        os.close(os.open("/proc/kmsg", os.O_RDONLY | os.O_NONBLOCK))
    except OSError as error:
        pytest.skip(f"/proc/kmsg cannot be read here ({error.strerror}): only root reads it")
    script = ("import velto\n"
              "try:\n"
              "    velto.open('/proc/kmsg')\n"
              "except velto.ListingError as error:\n"
              "    print(error)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout == ("Read File Error 75: Path/File access error (/proc/kmsg is a file of "
                           "the kernel's own)\n"), done.stderr


def test_readings_from_threads_do_not_mix(listings):
    lst = velto.open(listings["frame"])
    want = {v: lst.values("Displacements", v).tobytes() for v in ("DOF1", "DOF2")}
    with concurrent.futures.ThreadPoolExecutor(len(want)) as threads:
        got = threads.map(lambda v: [lst.values("Displacements", v) for _ in range(20)], want)
        for vector, arrays in zip(want, got):
            assert all(a.tobytes() == want[vector] for a in arrays)


def test_times_are_chosen_by_their_seconds(listings, tmp_path):
    section = velto.open(listings["section"])
    every = section.values("Temperature")
    # Exactly as held, in the order given; a float32 as the listing's own single, an int as a
    # double.
    assert section.values("Temperature", times=[0.3, 0.1]).tobytes() == every[[2, 0]].tobytes()
    singles = section.times.astype(np.float32)[[4, 1]]
    assert section.values("Temperature", times=singles).tobytes() == every[[4, 1]].tobytes()
    heat = velto.open(listings["heat"])
    assert (heat.values("Temperature", times=[np.int64(180), 60.0]).tobytes()
            == heat.values("Temperature")[[2, 0]].tobytes())
    # A listing prints more digits than a single keeps: 1234567.25 s is stored as 1234567.2, and
    # found by either, as 0.3 is by the single widened to a double.
    assert (section.values("Temperature", times=[float(np.float32(0.3))]).tobytes()
            == every[[2]].tobytes())
    late = velto.open(listing(tmp_path, "late.out", "--kind", "thermal", "--nodes", "3",
                              "--times", "2", "--time-step", "1234567.25"))
    assert late.times.tolist() == [1234567.2, 2469134.5]
    for seconds in ([1234567.25], [1234567.2], slice(1234567.25, 1234567.25)):
        assert (late.values("Temperature", times=seconds).tobytes()
                == late.values("Temperature")[:1].tobytes()), seconds
    # A slice is closed at both ends, whatever kind of number bounds it, and open at None.
    for start, stop, rows in ((0.2, 0.4, [1, 2, 3]), (np.float32(0.2), np.float32(0.4), [1, 2, 3]),
                              (None, 0.2, [0, 1]), (1.1, None, [10, 11])):
        got = section.values("Temperature", times=slice(start, stop))
        assert got.tobytes() == every[rows].tobytes(), (start, stop)
    assert section.frame("Temperature", times=slice(None)).index.equals(pd.Index(section.times))
    # A time not held names the nearest held; one a hair beside it is not it.
    for wrong, nearest in ((0.15, "the nearest are 0.1 and 0.2"), (0, "the nearest is 0.1"),
                           (0.30000002, "the nearest are 0.3 and 0.4"),
                           (1e6, "the nearest is 1.2")):
        with pytest.raises(ValueError, match=f"the listing holds no time {wrong!r} s; {nearest}$"):
            section.values("Temperature", times=[0.1, wrong])
    with pytest.raises(ValueError, match=r"^the listing holds no time from 0\.21 to 0\.29 s; "
                                         r"it holds 12 times from 0\.1 to 1\.2 s$"):
        section.values("Temperature", times=slice(0.21, 0.29))
    # A huge range is refused at its end, not after it has been gone through.
    with pytest.raises(ValueError, match="no time 999999999999 s"):
        heat.values("Temperature", times=range(60, 10**12))
    with pytest.raises(ValueError, match="no time is selected"):
        heat.values("Temperature", times=[])
    with pytest.raises(TypeError, match=r"not one float \(times=\[600\.0\] for one time\)$"):
        section.values("Temperature", times=0.1)
    for wrong in (["0.1"], "0.1", [True], np.array([False]), [None], slice(0.1, 1, 0.1),
                  slice("0", None)):
        with pytest.raises(TypeError):
            section.values("Temperature", times=wrong)
    for wrong in ([float("nan")], slice(np.float32("nan"), None)):
        with pytest.raises(ValueError, match="not NaN"):
            section.values("Temperature", times=wrong)


def rewritten(source, path, blocks):
    """A listing of `source`'s time blocks: for each (time, values), the TIME line of the block
    `time` and the values of the block `values`."""
    head, *given = re.split(r"(?m)^(?=  TIME =)", open(source).read())
    with open(path, "w") as listing:
        listing.write(head + "".join(given[time].split("\n", 1)[0] + "\n" +
                                     given[values].split("\n", 1)[1] for time, values in blocks))
    return str(path)


def test_a_repeated_time_stands_once_with_the_results_written_last(listings, tmp_path):
    """An analysis restarted from 60 s writes 60 s again, with other values than at first."""
    original = velto.open(listings["heat"])
    path = rewritten(listings["heat"], tmp_path / "restarted.out", [(0, 0), (1, 1), (0, 2)])
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        lst = velto.open(path)
        got = lst.values("Temperature")
    assert [w.category for w in said] == [velto.RepeatedTimesWarning]
    assert issubclass(velto.RepeatedTimesWarning, UserWarning)
    assert str(said[0].message).startswith("The listing gives the time 60 s more than once")
    assert lst.times.tolist() == [60, 120]
    assert got.tobytes() == original.values("Temperature")[[2, 1]].tobytes()
    assert lst.values("Temperature", times=[60]).tobytes() == got[:1].tobytes()
    want, times = exported(tmp_path, path, "Temperature", None, 1, 12, "all")
    assert got.tobytes() == want.tobytes() and times.tobytes() == lst.times.tobytes()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        velto.open(listings["heat"])  # repeats nothing, says nothing
    # A listing that went back to a time it had not printed gives its times in ascending order,
    # as the spreadsheets' rows, each found by value.
    backwards = velto.open(rewritten(listings["heat"], tmp_path / "back.out", [(1, 1), (0, 0)]))
    assert backwards.times.tolist() == [60, 120]
    assert (backwards.values("Temperature").tobytes()
            == original.values("Temperature", times=[60, 120]).tobytes())
    assert (backwards.values("Temperature", times=[60]).tobytes()
            == original.values("Temperature", times=[60]).tobytes())
    with pytest.raises(ValueError, match="no time 90 s; the nearest are 60 and 120$"):
        backwards.values("Temperature", times=[90])


def test_units_and_quantities(listings):
    plane = velto.open(listings["plane"])
    assert [(plane.quantity("Displacements", v), plane.unit("Displacements", v))
            for v in (None, "DOF1", "DOF3")] == [("displacement", ""), ("displacement", ""),
                                                 ("rotation", "rad")]
    section = velto.open(listings["section"])
    assert (section.quantity("Temperature"), section.unit("Temperature")) == ("temperature", "°C")
    assert velto.open(listings["frame"]).unit("Displacements", "DOF3") == ""


@pytest.fixture(params=["de_DE.UTF-8", "fr_FR.UTF-8"])
def decimal_comma(request):
    """The process in a locale that writes 0,1; the C locale again afterwards."""
    before = locale.setlocale(locale.LC_ALL)
    try:
        locale.setlocale(locale.LC_ALL, request.param)
    except locale.Error:
        # Under CTest the locales_build fixture has built it: its absence is a fault there.
        if "LOCPATH" in os.environ:
            pytest.fail(f"the locale {request.param} cannot be set from {os.environ['LOCPATH']}")
        pytest.skip(f"the locale {request.param} is not installed")
    try:
        assert locale.localeconv()["decimal_point"] == ","
        yield
    finally:
        locale.setlocale(locale.LC_ALL, before)


def arrays(path):
    """Everything a script reads from a listing: its times, and each variable's values."""
    lst = velto.open(path)
    first = lst.frame(next(iter(lst)))
    read = {"times": lst.times, "index": first.index.to_numpy(), "doubles": first.to_numpy()}
    for variable, vectors in lst.variables.items():
        read[variable] = lst.values(variable, (vectors or [None])[0])
    return {name: array.tobytes() for name, array in read.items()}


def test_numbers_are_read_alike_in_a_decimal_comma_locale(listings, tmp_path, decimal_comma):
    for name, variable, vector in (("section", "Temperature", None),
                                   ("frame", "Displacements", "DOF1")):
        path = listings[name]
        got = arrays(path)
        want, times = exported(tmp_path, path, variable, vector, 1, 37 if vector is None else 23,
                               "all")
        assert got[variable] == want.tobytes() and got["times"] == times.tobytes(), name
        doubles, _ = exported(tmp_path, path, variable, vector, 1, 37 if vector is None else 23,
                              "all", dtype=np.float64)
        assert got["doubles"] == doubles.tobytes(), name
        with_point = locale.setlocale(locale.LC_ALL)
        locale.setlocale(locale.LC_ALL, "C")
        try:
            assert arrays(path) == got, name
        finally:
            locale.setlocale(locale.LC_ALL, with_point)


def test_paths_items_and_refusals_as_python_takes_them(listings, tmp_path):
    """"~" is the home folder; one item number alone is that item; item numbers are refused below
    1 as above the last, in a list, a range or alone; a dtype other than the two is refused."""
    home = pathlib.Path(os.environ["HOME"])
    home.joinpath("heat.out").write_bytes(open(listings["heat"], "rb").read())
    assert velto.open("~/heat.out").path == str(home / "heat.out")
    assert velto.open(b"~/heat.out").path == str(home / "heat.out")
    lst = velto.open(listings["frame"])
    want = lst.values("Displacements", "DOF2", items=[3])
    for one in (3, np.int64(3), np.array(3)):
        assert lst.values("Displacements", "DOF2", items=one).tobytes() == want.tobytes()
    assert list(lst.frame("Displacements", items=23).columns) == [23]
    for wrong in (0, -1, 24):
        for items in (wrong, [1, wrong], range(wrong, 24) if wrong < 1 else range(1, wrong + 1)):
            with pytest.raises(ValueError, match=rf"^item {wrong} does not lie in 1\.\.23 "
                                                 r"\(Nodes\)$"):
                lst.values("Displacements", items=items)
    with pytest.raises(TypeError, match="not bool"):
        lst.values("Displacements", items=True)
    for wrong in ("int32", np.float16, "complex128"):
        with pytest.raises(ValueError, match="dtype is float32 .* or float64"):
            lst.values("Displacements", dtype=wrong)
    # The eigen value has one value a time: item 1 alone, as a number or in a list.
    assert (lst.values("Eigen Values", items=1).tobytes()
            == lst.values("Eigen Values", items=[1]).tobytes())
    with pytest.raises(ValueError, match="has no items to choose"):
        lst.values("Eigen Values", items=0)


def test_a_listing_is_a_container_of_its_variables(listings):
    lst = velto.open(listings["frame"])
    assert list(lst) == list(lst.variables) and len(list(lst)) == 21
    assert "Displacements" in lst and "Heat" not in lst and 3 not in lst
    assert len(lst) == len(lst.times) == 4
    with pytest.raises(KeyError, match="the listing does not offer"):
        lst["Heat"]
    displacements = lst["Displacements"]
    assert list(displacements) == lst.variables["Displacements"]
    assert "DOF2" in displacements and "DOF8" not in displacements
    assert (displacements.kind, displacements.items) == ("node", range(1, 24))
    assert lst["Eigen Values"].items == range(1, 2) and list(lst["Eigen Values"]) == []
    dof3 = displacements["DOF3"]
    # Each call is the listing's with the variable (and the vector) given.
    assert (dof3.values(items=[2, 5], times=[120]).tobytes()
            == lst.values("Displacements", "DOF3", items=[2, 5], times=[120]).tobytes())
    assert dof3.frame(items=3).equals(lst.frame("Displacements", "DOF3", items=3))
    assert displacements.frame(items=3).equals(lst.frame("Displacements", "DOF1", items=3))
    assert (dof3.unit, dof3.quantity) == (lst.unit("Displacements", "DOF3"),
                                          lst.quantity("Displacements", "DOF3"))
    with pytest.raises(KeyError, match='"Displacements" has no vector "DOF9"'):
        displacements["DOF9"]
    with pytest.raises(KeyError, match='"Eigen Values" has no vectors'):
        lst["Eigen Values"]["X"]


def test_a_listing_closes_pickles_and_goes_to_other_processes(listings):
    with velto.open(listings["section"]) as lst:
        want = lst.values("Temperature", items=[1, 37])
        again = pickle.loads(pickle.dumps(lst))
        dof = pickle.loads(pickle.dumps(velto.open(listings["frame"])["Displacements"]["DOF2"]))
    assert lst.closed and not again.closed
    for reading in (lambda: lst.values("Temperature"), lambda: lst.times, lambda: len(lst)):
        with pytest.raises(ValueError, match="is closed"):
            reading()
    assert repr(lst) == f"<velto.Listing {listings['section']} (closed)>"
    assert again.values("Temperature", items=[1, 37]).tobytes() == want.tobytes()
    assert (dof.values().tobytes()
            == velto.open(listings["frame"]).values("Displacements", "DOF2").tobytes())
    opened = [velto.open(listings[name]) for name in ("section", "protected")]
    with concurrent.futures.ProcessPoolExecutor(2) as processes:
        got = list(processes.map(last_row, opened))
        # A failure in the other process comes back as the error it was.
        cut = processes.submit(velto.open, listings["section"] + ".missing")
        with pytest.raises(FileNotFoundError) as raised:
            cut.result()
        assert isinstance(raised.value, velto.ListingError)
    for lst, row in zip(opened, got):
        assert row.tobytes() == lst.values("Temperature")[-1].tobytes()


def last_row(lst):
    return lst.values("Temperature")[-1]


def test_signatures_are_python_ones():
    parameters = inspect.signature(velto.Listing.frame).parameters
    assert list(parameters) == ["self", "variable", "vector", "items", "times", "dtype", "long"]
    assert parameters["dtype"].kind is inspect.Parameter.KEYWORD_ONLY
    assert list(inspect.signature(velto.open).parameters) == ["path"]
    assert "to_xarray" in pydoc_text(velto) and "FileNotFoundError" in pydoc_text(velto)


def pydoc_text(thing):
    import pydoc
    return pydoc.render_doc(thing, renderer=pydoc.plaintext)


@pytest.mark.parametrize("name, variable, vector", [
    ("section", "Temperature", None), ("frame", "Displacements", "DOF2"),
    ("frame", "Truss Axial Force", None), ("frame", "Beam Axial Force", "N2"),
    ("frame", "Beam Stresses", None), ("frame", "Membrane Force N1", "Surface 3"),
    ("frame", "Soil Pressure", None), ("frame", "Eigen Values", None)])
def test_frames_carry_the_sheets_labels_and_doubles(listings, tmp_path, name, variable, vector):
    """Columns are the item numbers of the sheet's heads ("Beam 3" -> 3), named after their word
    ("beam"); float64 values are the doubles the sheet stores, float32 ones the singles."""
    lst = velto.open(listings[name])
    ranged = variable != "Eigen Values"
    last = lst[variable].items[-1]
    heads = []
    doubles, times = exported(tmp_path, listings[name], variable, vector,
                              *((1, last) if ranged else (None, None)), "all", dtype=np.float64,
                              heading=heads)
    frame = lst.frame(variable, vector)
    words = {head.rsplit(" ", 1)[0] for head in heads}
    assert len(words) == 1
    assert frame.columns.name == (words.pop().lower() if ranged else "item")
    assert list(frame.columns) == [int(head.rsplit(" ", 1)[1]) for head in heads]
    assert frame.columns.dtype == np.int64 and frame.index.name == "time"
    assert frame.index.to_numpy().tobytes() == times.tobytes()
    assert frame.to_numpy().dtype == np.float64
    assert frame.to_numpy().tobytes() == doubles.tobytes()
    assert lst.values(variable, vector, dtype="float64").tobytes() == doubles.tobytes()
    singles = doubles.astype(np.float32)
    assert lst.values(variable, vector).tobytes() == singles.tobytes()
    for dtype in ("float32", np.float32, np.dtype("float32")):
        assert lst.frame(variable, vector, dtype=dtype).to_numpy().tobytes() == singles.tobytes()


def test_long_frames_are_one_row_per_time_and_item(listings, tmp_path):
    lst = velto.open(listings["frame"])
    wide = lst.frame("Beam Axial Force", "N2", items=[4, 1], times=[120, 60])
    tidy = lst.frame("Beam Axial Force", "N2", items=[4, 1], times=[120, 60], long=True)
    assert list(tidy.columns) == ["time", "beam", "vector", "value"]
    assert len(tidy) == wide.size and set(tidy["vector"]) == {"N2"}
    assert tidy["beam"].dtype == np.int64 and tidy["value"].dtype == np.float64
    back = tidy.pivot(index="time", columns="beam", values="value")
    assert back.loc[wide.index, wide.columns].to_numpy().tobytes() == wide.to_numpy().tobytes()
    # Several vectors, one after another, each as its own wide frame; an iterator of items is
    # gone through once for them all.
    vectors = ["N1", "N3"]
    several = lst.frame("Beam Axial Force", vectors, items=iter([2, 3]), long=True)
    assert list(several["vector"].unique()) == vectors and len(several) == 2 * 2 * len(lst)
    for vector in vectors:
        one = several[several["vector"] == vector]
        want, _ = exported(tmp_path, listings["frame"], "Beam Axial Force", vector, 2, 3, "all",
                           dtype=np.float64)
        assert one["value"].to_numpy().tobytes() == want.ravel().tobytes()
    with pytest.raises(TypeError, match="one vector's name"):
        lst.frame("Beam Axial Force", vectors)
    # A variable without vectors: its vector is "".
    assert set(velto.open(listings["heat"]).frame("Temperature", long=True)["vector"]) == {""}


def test_xarray_carries_times_items_vectors_and_units(listings, tmp_path):
    xarray = pytest.importorskip("xarray")
    lst = velto.open(listings["plane"])
    array = lst.to_xarray("Displacements", items=range(2, 6))
    assert isinstance(array, xarray.DataArray)
    assert array.dims == ("time", "node", "vector")
    assert array["time"].dtype == np.float64 and array["node"].dtype == np.int64
    assert array["time"].to_numpy().tobytes() == lst.times.tobytes()
    assert list(array["node"].to_numpy()) == [2, 3, 4, 5]
    vectors = lst.variables["Displacements"]
    assert list(array["vector"].to_numpy()) == vectors
    for vector in vectors:
        want, _ = exported(tmp_path, listings["plane"], "Displacements", vector, 2, 5, "all",
                           dtype=np.float64)
        assert array.sel(vector=vector).to_numpy().tobytes() == want.tobytes()
    # Each vector's unit and quantity (a plane model's DOF3 is a rotation, in rad); the attrs
    # hold them only where all the chosen vectors share them.
    assert list(array["unit"].to_numpy()) == [lst.unit("Displacements", v) for v in vectors]
    assert list(array["quantity"].to_numpy()) == [lst.quantity("Displacements", v)
                                                  for v in vectors]
    assert array.attrs == {"variable": "Displacements", "listing": lst.path}
    rotation = lst.to_xarray("Displacements", ["DOF3"], times=slice(None, lst.times[1]))
    assert rotation.shape == (2, 9, 1)
    assert rotation.attrs == {"variable": "Displacements", "listing": lst.path, "unit": "rad",
                              "quantity": "rotation"}
    heat = velto.open(listings["heat"])["Temperature"].to_xarray(items=[12])
    assert (heat.dims, list(heat["vector"].to_numpy())) == (("time", "node", "vector"), [""])
    assert (heat.attrs["unit"], heat.name) == ("°C", "Temperature")
    assert (heat.sel(vector="").to_numpy().tobytes()
            == velto.open(listings["heat"]).frame("Temperature", items=[12]).to_numpy().tobytes())


def printed_positions(path):
    """The node positions as the listing's text holds them, read here apart from the module."""
    with open(path, encoding="latin-1") as listing:
        lines = listing.read().splitlines()
    start = next(k for k, line in enumerate(lines) if "POSITION OF THE NODES" in line) + 1
    rows = []
    for line in lines[start:]:
        words = line.split()
        if not words or not words[0].isdigit():
            break
        rows.append([int(words[0])] + [float(word) for word in words[1:]])
    return rows


def test_coordinates_are_the_positions_printed(listings, tmp_path):
    xarray = pytest.importorskip("xarray")
    for name, axes in (("frame", ["x", "y", "z"]), ("plane", ["x", "y"]), ("heat", ["x", "y"])):
        lst = velto.open(listings[name])
        where = lst.coordinates
        rows = printed_positions(listings[name])
        assert len(rows) == lst.counts["nodes"], name
        assert where.index.name == "node" and list(where.columns) == axes, name
        assert list(where.index) == [row[0] for row in rows], name
        assert where.to_numpy().tolist() == [row[1:] for row in rows], name
    # Beside the values of the nodes chosen, in their order.
    lst = velto.open(listings["frame"])
    array = lst.to_xarray("Displacements", "DOF2", items=[5, 2])
    assert array["z"].to_numpy().tolist() == lst.coordinates.loc[[5, 2], "z"].tolist()
    assert "x" not in lst.to_xarray("Beam Axial Force", items=[1]).coords
    # A position that is no number is named with its line; a listing without them has none.
    text = pathlib.Path(listings["plane"]).read_text(encoding="latin-1").splitlines(True)
    at = next(k for k, line in enumerate(text) if "POSITION OF THE NODES" in line) + 3
    text[at] = text[at].replace(".", ",", 1)
    damaged = tmp_path / "damaged.out"
    damaged.write_text("".join(text), encoding="latin-1")
    with pytest.raises(velto.ListingError, match=rf"13: Type mismatch in damaged\.out, line "
                                                 rf"{at + 1} \(the position of a node\)"):
        velto.open(str(damaged)).coordinates
    text = [line for line in text if "POSITION OF THE NODES" not in line]
    bare = tmp_path / "bare.out"
    bare.write_text("".join(text), encoding="latin-1")
    assert velto.open(str(bare)).coordinates.empty


def test_without_xarray_to_xarray_says_what_to_install(listings, monkeypatch):
    monkeypatch.setitem(sys.modules, "xarray", None)
    with pytest.raises(ImportError, match=r"python3-xarray.*pip install xarray"):
        velto.open(listings["heat"]).to_xarray("Temperature")
