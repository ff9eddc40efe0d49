#!/usr/bin/env python3
"""Checks that #include lines point down the layers, never up.

The layers, lowest first: the runtime core (runtime/*.{h,cpp}), the host
services (runtime/host/) and the scanner (the lexer and its tables), then the
datatypes (runtime/datatypes/), then the evaluator (runtime/eval/), then
start-up (boot/). The image back-end (view/backend/) is plain code under
the datatypes and ranks with the host services: it includes nothing of the
runtime. A file may include files of its own layer or of lower ones.
A lower layer that must call upward does so through a hook the upper layer
installs at start-up. Prints every include that points upward and exits 1 when
there is one.
"""
import os
import re
import sys

SCANNER = {"runtime/eval/lexer.h", "runtime/eval/lexer.cpp", "runtime/eval/lexer_tables.h",
           "runtime/eval/lexer_tables.inc"}
NAMES = ["core", "host and scanner", "datatypes", "evaluator", "start-up"]


def layer(path):
    """The rank of a file in the tree, or None for files outside the layers."""
    if path in SCANNER:
        return 1
    parts = path.split("/")
    if parts[0] == "boot":
        return 4
    if parts[:2] == ["view", "backend"]:
        return 1
    if parts[0] != "runtime":
        return None
    if len(parts) == 2:
        return 0
    return {"host": 1, "datatypes": 2, "eval": 3}.get(parts[1])


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    root = os.path.abspath(root)
    include = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
    faults = []
    checked = 0
    for top in ("runtime", "boot", "view"):
        for dirpath, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp", ".inc")):
                    continue
                path = os.path.relpath(os.path.join(dirpath, name), root)
                own = layer(path)
                if own is None:
                    continue
                checked += 1
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = include.match(line)
                        if not m:
                            continue
                        target = m.group(1)
                        if not os.path.exists(os.path.join(root, target)):
                            continue  # generated at build time or a system header
                        theirs = layer(target)
                        if theirs is not None and theirs > own:
                            faults.append(f"{path}:{number}: {NAMES[own]} includes {target} ({NAMES[theirs]})")
    for fault in faults:
        print(fault)
    print(f"{checked} files checked, {len(faults)} includes pointing up a layer")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
