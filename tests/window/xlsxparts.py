"""Prints the parts of an .xlsx workbook as stored, each its name, date, compression and size,
then its bytes. The instant of the save is left out: docProps/core.xml names the second the
workbook was written (dcterms:created and dcterms:modified), and two saves of the same values
differ in nothing else."""

import re
import sys
import zipfile

out = sys.stdout.buffer
book = zipfile.ZipFile(sys.argv[1])
for info in book.infolist():
    data = book.read(info)
    if info.filename == "docProps/core.xml":
        data = re.sub(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", b"(saved)", data)
    out.write(b"%s %r %d %d\n" % (info.filename.encode(), info.date_time, info.compress_type,
                                  len(data)))
    out.write(data + b"\n")
