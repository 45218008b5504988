"""Prints the first worksheet of an .xlsx workbook as Python's own zip and XML readers see it: its
dimension, then a line per cell, "B4 n 20.1": its reference, t for an inline string or n for a
number, and its text (a number's as the shortest that reads back to its double)."""

import sys
import zipfile
import xml.etree.ElementTree as ET

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
root = ET.fromstring(zipfile.ZipFile(sys.argv[1]).read("xl/worksheets/sheet1.xml"))
print(root.find(MAIN + "dimension").get("ref"))
for cell in root.iter(MAIN + "c"):
    kind = cell.get("t", "n")
    if kind == "inlineStr":  # a rich text has several runs
        kind, text = "t", "".join(t.text or "" for t in cell.iter(MAIN + "t"))
    elif kind == "n":
        text = repr(float(cell.find(MAIN + "v").text))
    else:  # shared strings among them: the export streams its rows with inline strings
        sys.exit("cell type " + kind)
    print(cell.get("r"), kind, text)
