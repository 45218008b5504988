"""Prints a worksheet of an .xlsx workbook (the first, or the Nth after the path) as Python's own zip and XML readers see it: its
dimension, then a line per cell, "B4 n 20.1": its reference, t for an inline string or n for a
number, and its text (a number's as the shortest that reads back to its double)."""

import sys
import zipfile
import xml.etree.ElementTree as ET

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"

if sys.argv[1] == "--page":
    book = zipfile.ZipFile(sys.argv[2])
    for name in sorted(n for n in book.namelist() if n.startswith("xl/worksheets/sheet")):
        sheet = ET.fromstring(book.read(name))
        print(name.split("/")[-1])
        for col in sheet.iter(MAIN + "col"):
            print("cols", col.get("min") + "-" + col.get("max"), col.get("width"))
        for guard in sheet.iter(MAIN + "sheetProtection"):
            print("protection", guard.get("password", "-"))
        for options in sheet.iter(MAIN + "printOptions"):
            if options.get("gridLines") == "1":
                print("gridlines")
        for m in sheet.iter(MAIN + "pageMargins"):
            print("margins", *(m.get(side) for side in ("left", "right", "top", "bottom")))
        for kind, tag in (("header", "oddHeader"), ("footer", "oddFooter")):
            for text in sheet.iter(MAIN + tag):
                print(kind, text.text or "")
    if len(sys.argv) > 3 and any(sys.argv[3].encode() in book.read(n) for n in book.namelist()):
        print("holds", sys.argv[3])
    sys.exit(0)

sheet = sys.argv[2] if len(sys.argv) > 2 else "1"
root = ET.fromstring(zipfile.ZipFile(sys.argv[1]).read("xl/worksheets/sheet" + sheet + ".xml"))
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
