"""Prints the cells of the first worksheet of an .xlsx workbook, read with Python's own zip and
XML readers: a line "dimension REF", then a line per cell "ROW COL KIND HEX", KIND t for an inline
string and n for a number, HEX its text in UTF-8 ("-" when empty)."""

import re
import sys
import zipfile
import xml.etree.ElementTree as ET

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
root = ET.fromstring(zipfile.ZipFile(sys.argv[1]).read("xl/worksheets/sheet1.xml"))
dimension = root.find(MAIN + "dimension")
print("dimension", dimension.get("ref") if dimension is not None else "-")
for cell in root.iter(MAIN + "c"):
    letters, row = re.fullmatch(r"([A-Z]+)([0-9]+)", cell.get("r")).groups()
    col = 0
    for letter in letters:
        col = col * 26 + ord(letter) - ord("A") + 1
    kind = cell.get("t", "n")
    if kind == "inlineStr":  # a rich text has several runs
        kind, text = "t", "".join(t.text or "" for t in cell.iter(MAIN + "t"))
    elif kind == "n":
        value = cell.find(MAIN + "v")
        text = value.text or "" if value is not None else ""
    else:  # shared strings among them: the export streams its rows with inline strings
        sys.exit("cell type " + kind)
    print(row, col, kind, text.encode().hex() or "-")
