"""Velto result listings in Python.

    import velto
    with velto.open("beam1.out") as lst:        # one scan of the file; closed after the block
        lst.times                       # numpy float64: each result time once, in s
        lst.variables                   # {"Displacements": ["DOF1", ...], ...}
        list(lst), "Temperature" in lst, len(lst)   # the variables' names; the number of times
        lst.values("Displacements", "DOF2", items=range(1, 256))   # float32 (times, items)
        lst.frame("Temperature", items=[12, 37], times=slice(600, 1800))
            # pandas DataFrame of float64: index "time" (s), columns 12 and 37 named "node"
        lst.frame("Temperature", long=True)     # tidy: columns time, node, vector, value
        lst.to_xarray("Displacements")          # xarray DataArray (time, node, vector)
        lst["Temperature"].frame(items=3)       # the same calls through one variable
        lst.unit("Temperature"), lst.quantity("Displacements", "DOF3")   # "°C", "rotation"

Values are those of the spreadsheets of velto-extract: values() gives the listing's own singles
(float32); frame() and to_xarray() give float64, each the double the spreadsheets store for its
single (20.1, not the single widened to 20.100000381469727). dtype="float32" or "float64" chooses
either way in each. Each time is the double the spreadsheets store for it (1800.1), so lst.times[k]
finds its row in a frame: df.loc[lst.times[k]]. Times are chosen by their seconds: times=[600,
1800.1] (each held by the listing), or times=slice(600, 1800) for every time from 600 to 1800 s,
both ends included. Items are 1-based node, element or fibre numbers: items=[3, 7], range(1, 11),
or one number alone, items=3.

Labels: a frame's index is named "time"; its columns are the item numbers (integers), named after
what the variable's items are ("node", "beam", "fiber", "shell", "truss", "soil"; "item" for the
eigen value, one value a time).

A listing the solver is still writing may end with a time whose tables are not all printed yet:
lst.complete_times says how many of lst.times are whole, and reading one that is not raises
velto.ListingError ("time 15 (1800 s) is not complete yet"). lst.refresh() takes in what the
solver has added since (reading only that), and velto.follow() hands out each time's values as it
completes:

    for time, row in velto.follow("beam1.out", "Displacements", "DOF2", items=[12], idle=600):
        print(time, row[0])             # the times already there first, then each as it comes

An analysis restarted from an earlier time writes that time again: a listing that gives a time
more than once holds it once here, with the results written last for it, as velto-extract does,
and velto.open says so with a velto.RepeatedTimesWarning.

A listing that cannot be read raises velto.ListingError, an OSError whose text is the message the
tools show; where the file itself is at fault it is also FileNotFoundError, IsADirectoryError or
PermissionError, with .filename and .errno set. A choice the listing does not offer raises
ValueError with the reason velto-extract gives. A Listing pickles as its path (unpickling opens the
file again), so it can be handed to a concurrent.futures.ProcessPoolExecutor.
"""
from __future__ import annotations

import errno as _errno
import operator as _operator
import os as _os
import sys as _sys
import time as _time
import warnings as _warnings
from typing import (TYPE_CHECKING, Any, Generator, Iterable, Iterator, Literal, Optional,
                    Sequence, Union)

import numpy as _np

from . import _velto

if TYPE_CHECKING:
    import pandas
    import xarray
    from numpy.typing import DTypeLike, NDArray

    # What one read gives: the values, the times, the item numbers, the vector read.
    _Read = tuple[NDArray[Any], NDArray[_np.float64], NDArray[_np.int64], str]
    # The same of several vectors read at once: values (times, items, vectors), their names.
    _Reads = tuple[NDArray[Any], NDArray[_np.float64], NDArray[_np.int64], list[str]]

__version__: str = _velto.__version__
__all__ = ["open", "follow", "Listing", "Variable", "ListingError", "ListingNotFoundError",
           "ListingIsADirectoryError", "ListingPermissionError", "RepeatedTimesWarning",
           "ListingRestartWarning"]

#: A listing's name, as Python's own open() takes one.
PathType = Union[str, bytes, "_os.PathLike[str]", "_os.PathLike[bytes]"]
#: Item numbers: one number, or any iterable of them (all items when None).
Items = Union[int, Iterable[int], None]
#: Times in seconds, each held by the listing, or a slice of seconds (every time when None).
Times = Union[Iterable[float], slice, None]


class ListingError(OSError):
    """A listing could not be read; str(error) is the message the tools show.

    An OSError: .filename is the listing's name as opened and, where the system refused the file,
    .errno and .strerror say why. A missing listing is a ListingNotFoundError, which is also a
    FileNotFoundError; a folder an IsADirectoryError, one not ours to read a PermissionError.
    """

    def __init__(self, message: str, errno: Optional[int] = None,
                 filename: Optional[str] = None) -> None:
        super().__init__(message)
        if errno is not None:
            self.errno = errno
            self.strerror = _os.strerror(errno)
        self.filename = filename

    def __str__(self) -> str:
        return str(self.args[0])

    # OSError's own reduction would hand the file name over as the error number.
    def __reduce__(self) -> Any:
        return type(self), (self.args[0], self.errno, self.filename)


class ListingNotFoundError(ListingError, FileNotFoundError):
    """No listing of that name: a velto.ListingError and a FileNotFoundError."""


class ListingIsADirectoryError(ListingError, IsADirectoryError):
    """The name is a folder's: a velto.ListingError and an IsADirectoryError."""


class ListingPermissionError(ListingError, PermissionError):
    """The listing is not ours to read: a velto.ListingError and a PermissionError."""


_ERRORS_BY_NUMBER = {_errno.ENOENT: ListingNotFoundError, _errno.EISDIR: ListingIsADirectoryError,
                     _errno.EACCES: ListingPermissionError, _errno.EPERM: ListingPermissionError}


def _listing_error(message: str, errno: Optional[int], filename: Optional[str]) -> ListingError:
    """The exception the compiled part raises for a listing it cannot read."""
    kind = _ERRORS_BY_NUMBER.get(errno, ListingError) if errno is not None else ListingError
    return kind(message, errno, filename)


class RepeatedTimesWarning(UserWarning):
    """The listing gives a time more than once (an analysis restarted from an earlier time): the
    results written last for it are the ones read."""


class ListingRestartWarning(UserWarning):
    """The listing was cut short, replaced by another file, given another head (model) or written
    over since it was last read: it was read again from its start, and what it holds now is what
    the listing then gives."""


# How often a followed listing is looked at when nothing tells of a change (a listing on a network
# share gives no notice), and how soon after the last look at the earliest (a solver writing gives
# a notice for every write), in seconds: as velto-extract follow looks.
_POLL_INTERVAL = 0.5
_LEAST_INTERVAL = 0.05


def _script_level(frame: Any) -> int:
    """The stacklevel, counted from `frame`, of the first frame outside this package: a warning
    is said at the script's line, whichever of the package's calls it came through."""
    level = 1
    while frame.f_back is not None and frame.f_globals.get("__name__") == __name__:
        level, frame = level + 1, frame.f_back
    return level


def _stored(dtype: DTypeLike) -> bool:
    """Whether `dtype` asks for the doubles the spreadsheets store (float64) rather than the
    listing's singles (float32)."""
    kind = _np.dtype(dtype)
    if kind == _np.float64:
        return True
    if kind == _np.float32:
        return False
    raise ValueError(f"dtype is float32 (the listing's singles) or float64 (the doubles the "
                     f"spreadsheets store), not {kind}")


def _one_vector(vector: Any) -> Optional[str]:
    if vector is not None and not isinstance(vector, str):
        raise TypeError(f"vector is one vector's name, not {type(vector).__name__} (several "
                        f"vectors: values(..., vectors=[...]), frame(..., long=True) or "
                        f"to_xarray())")
    return vector


def _name(what: str, name: Any) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what} is a name, not {type(name).__name__}")
    return name


def _xarray() -> Any:
    try:
        import xarray
    except ImportError as error:
        raise ImportError("to_xarray() needs xarray: install Debian's python3-xarray, or "
                          "pip install xarray (pip install 'velto[xarray]')",
                          name="xarray") from error
    return xarray


def open(path: PathType) -> Listing:  # noqa: A001 - velto.open, as io.open and gzip.open
    """Opens a result listing (*.out) and reads what it holds: one scan of the file.

    path: a str, bytes or os.PathLike, relative to the current folder (the listing keeps its
    name when the folder changes later); "~" is expanded.
    Raises ValueError for an empty path; velto.ListingError carrying the message the tools show,
    e.g. "Read File Error 62: Input past end of file" (for a missing file, a folder or a file not
    ours to read, also FileNotFoundError, IsADirectoryError, PermissionError). Issues a
    velto.RepeatedTimesWarning, once, for a listing that gives a time more than once.
    """
    name = _os.fsencode(path)
    if not name:
        raise ValueError("no listing given: the path is empty")
    listing = Listing._of(_velto.open(_os.path.expanduser(name)))
    note = listing._live().repeated_times_note
    if note:
        _warnings.warn(note, RepeatedTimesWarning, stacklevel=2)
    return listing


def follow(path: PathType, variable: str, vector: Optional[str] = None, items: Items = None,
           idle: Optional[float] = None) -> Generator[tuple[float, NDArray[_np.float32]], None,
                                                      None]:
    """Follows a listing the solver is still writing: yields (time, values) as each time completes.

    time is the float of seconds lst.times gives for it, values a 1-D float32 array over the items
    (the same numbers values() gives for that time). The times already there come first, then each
    as its results are all in the file, in the listing's order (a time the listing gives again,
    from an analysis restarted from it, comes again). variable, vector and items as for
    Listing.values(). It waits, without using the processor, until the listing changes: the
    folder's notices are heeded, and the listing is looked at twice a second whatever they say.
    A listing whose head is still being written is waited for.

    It ends once the last complete time is the analysis's end time (from the input file NAME.in
    beside NAME.out, as velto-extract follow reads it), after `idle` seconds in which the listing
    did not change (None: never), or when the consumer closes it; Ctrl+C interrupts the wait with
    KeyboardInterrupt. A listing cut short, replaced, given another head or written over is read
    again from its start, with a velto.ListingRestartWarning, and its times come again from the
    first. Raises as velto.open() does for a listing that cannot be followed (a missing file, one
    whose time line is no number), and ValueError for an idle time not above 0 or a choice the
    listing does not offer.
    """
    if idle is not None and (isinstance(idle, bool) or not idle > 0):
        raise ValueError(f"idle is a number of seconds above 0, or None, not {idle!r}")
    name = _os.fsencode(path)
    if not name:
        raise ValueError("no listing given: the path is empty")
    listing = Listing._of(_velto.open(_os.path.expanduser(name), waiting=True))
    try:
        if listing.complete_times:
            listing._live().items(variable)  # a choice not offered: refused now, with its reason
        if isinstance(items, Iterator):
            items = list(items)  # gone through once, read at every time
        watch = _velto.Watch(listing._live())
    except BaseException:
        listing.close()
        raise
    return _following(listing, watch, variable, vector, items, idle)


def _following(listing: Listing, watch: _velto.Watch, variable: str, vector: Optional[str],
               items: Items, idle: Optional[float]
               ) -> Generator[tuple[float, NDArray[_np.float32]], None, None]:
    """The generator of follow(): reads, yields the times newly complete, waits, and again."""
    core = listing._live()
    given = 0  # the listing's records handed out, in its order
    changed = looked = _time.monotonic()
    try:
        while True:
            while given < core.complete_records:
                values, times, _, _ = core.read_records(
                    variable, vector, items, given, False, _script_level(_sys._getframe()))
                for k, time in enumerate(times.tolist()):
                    yield time, values[k]
                given += len(times)
            if core.ended:
                return
            quiet = _time.monotonic() - changed
            if idle is not None and quiet >= idle:
                return
            watch.wait(_POLL_INTERVAL if idle is None else min(_POLL_INTERVAL, idle - quiet))
            since = _time.monotonic() - looked
            if since < _LEAST_INTERVAL:
                _time.sleep(_LEAST_INTERVAL - since)
            looked = _time.monotonic()
            _, grew, restarted = listing._refresh(_sys._getframe())
            if grew:
                changed = looked
            if restarted:
                given = 0
    finally:
        listing.close()


class Listing:
    """An opened Velto result listing (see velto.open).

    It holds what one scan found (times, variables, model size), not the values: each call reads
    the values it asks for. refresh() takes in what the solver has added since; complete_times
    says how many of the times are whole. As a container it holds the variables: `for name in lst`, `"Temperature"
    in lst` and lst["Temperature"] (a velto.Variable); len(lst) is the number of times. As a
    context manager it closes at the end of the block. It pickles as its path.
    """

    _core: Optional[_velto.Listing]
    _path: str
    _coordinates: Optional[pandas.DataFrame]

    def __new__(cls, *args: Any, **kwargs: Any) -> Listing:
        raise TypeError("velto.Listing objects are made by velto.open")

    @classmethod
    def _of(cls, core: _velto.Listing) -> Listing:
        listing = object.__new__(cls)
        listing._core = core
        listing._path = core.path
        listing._coordinates = None
        return listing

    def _live(self) -> _velto.Listing:
        if self._core is None:
            raise ValueError(f"the listing {self._path} is closed")
        return self._core

    @property
    def path(self) -> str:
        """The listing's file name, absolute (os.fsdecode of the name the file system has)."""
        return self._path

    @property
    def version(self) -> str:
        """The solver version that wrote it, e.g. "2026.1"."""
        return self._live().version

    @property
    def analysis(self) -> str:
        """"Temperature", "Structural" or "Dynamical"."""
        return self._live().analysis

    @property
    def ndim(self) -> int:
        """2 for a plane model, 3 for a spatial one."""
        return self._live().ndim

    @property
    def counts(self) -> dict[str, int]:
        """The model's size: nodes, solids, trusses, beams, shells, soils and fibers."""
        return self._live().counts

    @property
    def times(self) -> NDArray[_np.float64]:
        """The result times in seconds, as a read-only numpy float64 array.

        Each time once, in ascending order, as the spreadsheets' rows; a time given again (an
        analysis restarted from an earlier time) stands for the results written last for it. Each
        is the double the spreadsheets store: 1800.1, not the single widened. frame()'s index holds
        the same values, so df.loc[lst.times[k]] is the row of the k-th time.
        """
        return self._live().times

    @property
    def complete_times(self) -> int:
        """How many of `times` are whole: all of them, but for a listing the solver is still
        writing, whose last times' tables may not all be printed yet. Reading a time that is not
        complete raises velto.ListingError ("time 15 (1800 s) is not complete yet")."""
        return self._live().complete_times

    def refresh(self) -> int:
        """Takes in what the listing gained since it was opened (or last refreshed), reading only
        that, and returns how many times became complete. `times`, len(), `complete_times`,
        values(), frame() and to_xarray() then see them.

        A listing cut short, replaced by another file, given another head (model) or written over
        since is read again from its start, with a velto.ListingRestartWarning saying which ("...
        was cut short"); the count is then of all its complete times. A time it now gives again
        is said with a velto.RepeatedTimesWarning. Raises velto.ListingError when the listing can
        no longer be read (a time line that is no number), at this refresh and every later one.
        """
        return self._refresh(_sys._getframe())[0]

    # refresh(), also saying whether the file changed and whether it was read again from its
    # start; its warnings are said at the first line outside the package, up from `frame`.
    def _refresh(self, frame: Any) -> tuple[int, bool, bool]:
        core = self._live()
        fresh, grew, restart, repeated = core.refresh()
        level = _script_level(frame) + 1
        if restart:
            self._coordinates = None  # another model, maybe
            _warnings.warn(f"{core.shown_path} {restart}: it is read again from its start",
                           ListingRestartWarning, stacklevel=level)
        if repeated:
            _warnings.warn(repeated, RepeatedTimesWarning, stacklevel=level)
        return fresh, grew, bool(restart)

    @property
    def coordinates(self) -> pandas.DataFrame:
        """Where the model's nodes stand, as the listing prints them: a DataFrame indexed by the
        node numbers ("node"), with columns "x", "y" (and "z" in a spatial model) in the units of
        the model's input. Empty where the listing prints no positions; read from the listing
        once, when first asked for.
        """
        import pandas as pd

        if self._coordinates is None:
            nodes, where = self._live().positions()
            self._coordinates = pd.DataFrame(where, index=pd.Index(nodes, name="node"),
                                             columns=["x", "y", "z"][:where.shape[1]])
        return self._coordinates.copy()

    @property
    def variables(self) -> dict[str, list[str]]:
        """The variables the listing offers, each with its vectors (an empty list for a variable
        without vectors)."""
        return self._live().variables

    @property
    def closed(self) -> bool:
        """Whether close() was called (or the with block ended)."""
        return self._core is None

    def close(self) -> None:
        """Lets go of what the scan found; reading the closed listing raises ValueError."""
        self._core = None

    def __enter__(self) -> Listing:
        return self

    def __exit__(self, *raised: object) -> None:
        self.close()

    def __reduce__(self) -> Any:
        return open, (self._path,)

    def values(self, variable: str, vector: Optional[str] = None, items: Items = None,
               times: Times = None, *, vectors: Union[list[str], tuple[str, ...], Literal["all"], None] = None,
               dtype: DTypeLike = "float32") -> NDArray[Any]:
        """The values of a variable as a numpy array of shape (times, items).

        variable: a name from `variables`; vector: one of its vectors (the first when None).
        items: 1-based node, element or fibre numbers, one number or any iterable (all when None).
        times: every time when None; a sequence of times in seconds, each one the listing holds
          (matched exactly against `times`; a numpy float32 as the listing's own single), rows in
          the order given; or slice(start, stop) of seconds: every time from start to stop, both
          included (None for an open end), in order of time. A position k is lst.times[k].
        vectors: several vectors read at once, a list of names or "all" (the variable's every
          vector): the array is then (times, items, vectors), in the order named, and the
          listing is read once for all of them (not with `vector`).
        dtype: "float32" (the default), the listing's own singles, as velto-extract reads them;
          or "float64", each the double the spreadsheets store for its single.
        Raises ValueError for a choice the listing does not offer (a time it does not hold names
        the nearest it does), velto.ListingError when the listing cannot be read.
        """
        if vectors is not None:
            if vector is not None:
                raise TypeError("values() takes vector (one) or vectors (several), not both")
            return self._read_vectors(variable, vectors, items, times, dtype)[0]
        return self._read(variable, vector, items, times, dtype)[0]

    def frame(self, variable: str, vector: Union[str, Sequence[str], None] = None,
              items: Items = None, times: Times = None, *, dtype: DTypeLike = "float64",
              long: bool = False) -> pandas.DataFrame:
        """The values as a pandas DataFrame.

        Wide (the default): the index "time" holds the chosen times in seconds (the values of
        `times`), a column per item, labelled by its number and named after the items' kind
        ("node", "beam", "fiber", ...). long=True: one row per time and item, with the columns
        "time", the kind, "vector" and "value"; `vector` may then also be a list of vectors, their
        rows one vector after another. Values are float64 (dtype="float64"), each the double the
        spreadsheets store, unless dtype="float32" asks for the listing's singles. Arguments as
        for values().
        """
        import pandas as pd

        kind = self._kind(variable)
        if not long:
            values, chosen, numbers, _ = self._read(variable, _one_vector(vector), items, times,
                                                    dtype)
            return pd.DataFrame(values, index=pd.Index(chosen, name="time"),
                                columns=pd.Index(numbers, name=kind))
        values, chosen, numbers, names = self._read_vectors(
            variable, [vector or ""] if isinstance(vector, str) or vector is None else vector, items,
            times, dtype)
        count = len(chosen) * len(numbers)
        return pd.DataFrame({"time": _np.tile(_np.repeat(chosen, len(numbers)), len(names)),
                             kind: _np.tile(numbers, len(chosen) * len(names)),
                             "vector": _np.repeat(_np.array(names, dtype=object), count),
                             "value": _np.moveaxis(values, -1, 0).ravel()})

    def to_xarray(self, variable: str, vector: Union[str, Sequence[str], None] = None,
                  items: Items = None, times: Times = None, *,
                  dtype: DTypeLike = "float64") -> xarray.DataArray:
        """The values as an xarray DataArray of dims ("time", the items' kind, "vector").

        Coordinates: "time" (float64 seconds, as `times`), the item numbers (integers), the
        vector names ("" for a variable without vectors) with each vector's "unit" and
        "quantity". attrs: "variable", "listing" (its path), and "unit" and "quantity" when every
        chosen vector shares them. vector: a name or a list of names; all the variable's vectors
        when None. Other arguments as for frame(). Needs xarray (Debian's python3-xarray).
        """
        xr = _xarray()
        kind = self._kind(variable)
        values, chosen, numbers, names = self._read_vectors(
            variable, "all" if vector is None else [vector] if isinstance(vector, str) else vector,
            items, times, dtype)
        core = self._live()
        units = [core.unit(variable, name or None) for name in names]
        quantities = [core.quantity(variable, name or None) for name in names]
        attrs = {"variable": variable, "listing": self._path}
        if len(set(units)) == 1:
            attrs["unit"] = units[0]
        if len(set(quantities)) == 1:
            attrs["quantity"] = quantities[0]
        coords: dict[str, Any] = {"time": ("time", chosen, {"unit": "s"}), kind: numbers,
                                  "vector": names, "unit": ("vector", units),
                                  "quantity": ("vector", quantities)}
        if kind == "node":
            # Each node's position beside its values, where the listing prints them.
            where = self.coordinates
            if len(where):
                placed = where.reindex(numbers)
                for axis in where.columns:
                    coords[axis] = (kind, placed[axis].to_numpy())
        array: xarray.DataArray = xr.DataArray(
            values, name=variable,
            dims=("time", kind, "vector"), attrs=attrs, coords=coords)
        return array

    def unit(self, variable: str, vector: Optional[str] = None) -> str:
        """The unit of a variable's values: "°C", "N/mm²", "rad" for a rotation; "" where the
        listing does not state one (lengths and forces are in the units of the model's input).

        The vector is the variable's first when None, as in values(); a choice the listing does
        not offer raises ValueError.
        """
        return self._live().unit(variable, _one_vector(vector))

    def quantity(self, variable: str, vector: Optional[str] = None) -> str:
        """What a variable's values are: "temperature", "displacement", "rotation", ...

        Arguments as for unit().
        """
        return self._live().quantity(variable, _one_vector(vector))

    def __getitem__(self, variable: str) -> Variable:
        if variable not in self:
            if not isinstance(variable, str):
                raise KeyError(variable)
            try:
                self._live().items(variable)
            except ValueError as error:  # the reason, as velto-extract gives it
                raise KeyError(str(error)) from None
        return Variable(self, variable)

    def __contains__(self, variable: object) -> bool:
        return isinstance(variable, str) and variable in self._live().variables

    def __iter__(self) -> Iterator[str]:
        return iter(self._live().variables)

    def __len__(self) -> int:
        return len(self._live().times)

    def __repr__(self) -> str:
        if self._core is None:
            return f"<velto.Listing {self._path} (closed)>"
        return f"<velto.Listing {self._core.shown_path}: {self._core.analysis}, " \
               f"{self._core.times_text}>"

    # What names the items of a variable, as a frame's columns and a DataArray's dimension.
    def _kind(self, variable: str) -> str:
        word, limit = self._live().items(variable)
        return word.lower() if limit is not None else "item"

    # The read of values(): (values, times, items, vector read). A warning of missing values is
    # said at the first line outside this package: the script's.
    def _read(self, variable: str, vector: Optional[str], items: Items, times: Times,
              dtype: DTypeLike) -> _Read:
        _name("variable", variable)
        _one_vector(vector)
        return self._live().read(variable, vector, items, times, _stored(dtype),
                                 _script_level(_sys._getframe()))

    # Several vectors in one read: those named, in that order, or every one of the variable's
    # ("all"; the one value of a variable without vectors).
    def _read_vectors(self, variable: str, vectors: Union[Sequence[str], str], items: Items,
                      times: Times, dtype: DTypeLike) -> _Reads:
        _name("variable", variable)
        if isinstance(vectors, str):
            if vectors != "all":
                raise TypeError(f"vectors is a list of vectors' names or \"all\", not the text "
                                f"\"{vectors}\" (one vector: vector=\"{vectors}\")")
            self._live().items(variable)  # a variable not offered: refused with its reason
            names = list(self._live().variables[variable]) or [""]
        else:
            if isinstance(vectors, bytes) or not hasattr(vectors, "__iter__"):
                raise TypeError(f"vectors is a list of vectors' names or \"all\", not "
                                f"{type(vectors).__name__}")
            names = [_name("a vector", name) for name in vectors]
            if not names:
                raise ValueError("no vector is chosen")
        values, chosen, numbers, read = self._live().read(
            variable, None, items, times, _stored(dtype), _script_level(_sys._getframe()), names)
        return values, chosen, numbers, list(read)


class Variable:
    """One variable of a listing: lst["Displacements"], or one of its vectors:
    lst["Displacements"]["DOF2"].

    Its values(), frame() and to_xarray() are the listing's with the variable (and the vector,
    when one is chosen) given: lst["Temperature"].frame(items=3) is lst.frame("Temperature",
    items=3). Iterating goes over its vectors; `items` is the range of its item numbers, `kind`
    what they are ("node", "beam", ...).
    """

    def __init__(self, listing: Listing, name: str, vector: Optional[str] = None) -> None:
        self.listing = listing
        self.name = name
        self.vector = vector

    @property
    def vectors(self) -> list[str]:
        """The variable's vectors (empty for a variable without vectors)."""
        return self.listing.variables[self.name]

    @property
    def kind(self) -> str:
        """What an item is: "node", "beam", "fiber", ...; "item" for the eigen value."""
        return self.listing._kind(self.name)

    @property
    def items(self) -> range:
        """The item numbers the variable offers: range(1, count + 1)."""
        _, limit = self.listing._live().items(self.name)
        return range(1, (limit if limit is not None else 1) + 1)

    @property
    def unit(self) -> str:
        """The unit of its values (of the chosen vector, else of the first): see Listing.unit."""
        return self.listing.unit(self.name, self.vector)

    @property
    def quantity(self) -> str:
        """What its values are (of the chosen vector, else of the first): see Listing.quantity."""
        return self.listing.quantity(self.name, self.vector)

    def values(self, items: Items = None, times: Times = None, *,
               vectors: Union[list[str], tuple[str, ...], Literal["all"], None] = None,
               dtype: DTypeLike = "float32") -> NDArray[Any]:
        """Listing.values of this variable (and vector)."""
        return self.listing.values(self.name, self.vector, items, times, vectors=vectors,
                                   dtype=dtype)

    def frame(self, items: Items = None, times: Times = None, *, dtype: DTypeLike = "float64",
              long: bool = False) -> pandas.DataFrame:
        """Listing.frame of this variable (and vector)."""
        return self.listing.frame(self.name, self.vector, items, times, dtype=dtype, long=long)

    def to_xarray(self, items: Items = None, times: Times = None, *,
                  dtype: DTypeLike = "float64") -> xarray.DataArray:
        """Listing.to_xarray of this variable: of the chosen vector, else of all its vectors."""
        return self.listing.to_xarray(self.name, self.vector, items, times, dtype=dtype)

    def __getitem__(self, vector: str) -> Variable:
        if vector not in self:
            raise KeyError(f"\"{self.name}\" has no vector \"{vector}\"" if self.vectors else
                           f"\"{self.name}\" has no vectors")
        return Variable(self.listing, self.name, vector)

    def __contains__(self, vector: object) -> bool:
        return isinstance(vector, str) and vector in self.vectors

    def __iter__(self) -> Iterator[str]:
        return iter(self.vectors)

    def __reduce__(self) -> Any:
        whole = (_operator.getitem, (self.listing, self.name))
        return whole if self.vector is None else (_operator.getitem, (Variable(
            self.listing, self.name), self.vector))

    def __repr__(self) -> str:
        chosen = f" {self.vector}" if self.vector is not None else ""
        return f"<velto.Variable {self.name}{chosen} of {self.listing.path}>"
