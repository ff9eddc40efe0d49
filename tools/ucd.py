"""The Unicode Character Database as Debian's unicode-data package installs it
(/usr/share/unicode), for the generators of the Unicode tables."""
import os
import re
import sys

from generated import SKIP

DEFAULT_DIR = "/usr/share/unicode"


def read_version(ucd):
    """The Unicode version, from the header of DerivedAge.txt or ReadMe.txt."""
    for name, pattern in (("DerivedAge.txt", r"DerivedAge-(\d+\.\d+\.\d+)\.txt"),
                          ("ReadMe.txt", r"Version (\d+\.\d+\.\d+)")):
        path = os.path.join(ucd, name)
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                m = re.search(pattern, f.read(4000))
            if m:
                return m.group(1)
    raise SystemExit("cannot tell the Unicode version of " + ucd)


def check_skipped(ucd, committed, tool):
    """For --check: SKIP when the database is not installed or is of another
    version than the committed table was made from (a fresh run could only
    differ), else None."""
    if not os.path.exists(os.path.join(ucd, "UnicodeData.txt")):
        print(f"{tool}: no Unicode Character Database in {ucd}; nothing to check", file=sys.stderr)
        return SKIP
    version = read_version(ucd)
    try:
        with open(committed, encoding="utf-8") as f:
            head = f.read(400)
    except OSError:
        return None
    if f"Unicode Character Database {version}" not in head and f"Database\n// {version}" not in head:
        print(f"{tool}: the installed database is Unicode {version}, not the committed table's; "
              "nothing to check", file=sys.stderr)
        return SKIP
    return None
