"""Lifts the protection of the .xlsx sheets velto-extract protected, in LibreOffice itself (through
UNO): each must open protected, stay protected against a wrong password and open up with its own.

    python3 protection.py SCRATCH SOFFICE

SCRATCH/page/protection.json lists the workbooks and their passwords (readers.js export writes
them). Needs LibreOffice's Python bridge (Debian python3-uno)."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import time

try:
    import uno
    from com.sun.star.beans import PropertyValue
    from com.sun.star.lang import IllegalArgumentException
except ImportError:
    sys.exit("LibreOffice's Python bridge is missing: run scripts/setup.sh --tests (python3-uno)")

scratch, soffice = pathlib.Path(sys.argv[1]).resolve(), sys.argv[2]
sheets = json.loads((scratch / "page" / "protection.json").read_text())
if not sheets:
    sys.exit("no protected workbook to open")

# A profile of our own, and a pipe named after this process: a LibreOffice the user runs is
# neither asked nor disturbed.
pipe = "velto-protection-%d" % os.getpid()
office = subprocess.Popen(
    [soffice, "-env:UserInstallation=" + (scratch / "uno-profile").as_uri(), "--headless",
     "--invisible", "--norestore", "--accept=pipe,name=%s;urp;" % pipe],
    start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def hidden():
    option = PropertyValue()
    option.Name, option.Value = "Hidden", True
    return (option,)


failures = []
try:
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext(
        "com.sun.star.bridge.UnoUrlResolver", local)
    deadline = time.monotonic() + 120
    while True:
        try:
            remote = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
            break
        except Exception:
            if time.monotonic() > deadline or office.poll() is not None:
                sys.exit("LibreOffice did not answer on its pipe")
            time.sleep(0.2)
    desktop = remote.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", remote)
    for entry in sheets:
        found = len(failures)
        name, password = pathlib.Path(entry["file"]).name, entry["password"]
        document = desktop.loadComponentFromURL(
            pathlib.Path(entry["file"]).as_uri(), "_blank", 0, hidden())
        sheet = document.Sheets.getByIndex(0)
        if not sheet.isProtected():
            failures.append(name + ": not protected")
        for wrong in ("", password[:-1], password + " ", password.swapcase()):
            if wrong == password:
                continue
            try:
                sheet.unprotect(wrong)
                failures.append("%s: the wrong password %r lifted the protection" % (name, wrong))
            except IllegalArgumentException:
                pass
        try:
            sheet.unprotect(password)
        except IllegalArgumentException:
            failures.append("%s: its password %r was refused" % (name, password))
        if sheet.isProtected():
            failures.append(name + ": still protected after its password")
        document.close(True)
        print("ok  " if len(failures) == found else "FAIL", name)
    try:
        desktop.terminate()
    except Exception:
        pass  # the bridge goes with the office
    office.wait(timeout=60)
finally:
    if office.poll() is None:
        os.killpg(office.pid, signal.SIGKILL)
        office.wait()

for failure in failures:
    print("FAIL", failure)
print("protection: %d workbooks, %d problems" % (len(sheets), len(failures)))
sys.exit(1 if failures else 0)
