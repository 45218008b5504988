"""How the nodes of a section heat up: a notebook-style walk through the velto module.

Run from the top of the repository after scripts/demo.sh (or scripts/build.sh):

    PYTHONPATH=build/python python3 examples/heating.py [LISTING]

It opens a thermal listing (samples/section.out by default), prints what it holds, puts the
temperatures of a few nodes into a pandas DataFrame (a column per node number), reports when each
passes 500 °C and shows the last half hour. Times are seconds throughout: lst.times holds each once, as the spreadsheets
store it, and the same values index every frame.
"""
import sys

import numpy as np

import velto

listing = velto.open(sys.argv[1] if len(sys.argv) > 1 else "samples/section.out")
print(listing)
print("solver", listing.version, "-", listing.analysis, f"{listing.ndim}D")
print("model:", {kind: count for kind, count in listing.counts.items() if count})
print("variables:", ", ".join(listing.variables))
unit = listing.unit("Temperature")  # "°C", as the listing states it
print(f"{len(listing.times)} times, {listing.times[0]:g} to {listing.times[-1]:g} s")

# Every node at every time: a (times, nodes) float32 array, the singles the spreadsheets get.
temperatures = listing.values("Temperature")
hottest = int(np.argmax(temperatures[-1])) + 1
print(f"{temperatures.shape[0]} times x {temperatures.shape[1]} nodes; "
      f"hottest at the end: node {hottest}, {temperatures[-1].max():.1f} {unit}")

# A few nodes as a DataFrame: indexed by time in seconds, a column per node number.
nodes = sorted({1, hottest, listing.counts["nodes"]})
frame = listing.frame("Temperature", items=nodes)
for node in frame:
    above = frame.index[frame[node] >= 500]
    print(f"{frame.columns.name} {node}: " + (f"500 {unit} at {above[0]:g} s" if len(above) else
                                              f"stays below 500 {unit}"))

# Times are chosen by their seconds: a slice holds every time from its start to its stop, both
# included; a time from listing.times always finds its row.
end = listing.times[-1]
print(listing.frame("Temperature", items=nodes, times=slice(end - 1800, end)))
print(f"at {end:g} s:", frame.loc[end].to_dict())
