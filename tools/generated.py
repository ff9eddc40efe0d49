"""Writing a generated file, or checking the committed one against a fresh run.

Every generator in tools/ ends with emit(): without --check it writes the
file; with --check it writes the fresh output to a temporary file, compares it
with the committed one and reports the first differing lines, so a table
edited by hand or a source changed without a new run fails its test.
"""
import difflib
import os
import sys
import tempfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

# The exit status of a check whose source is not installed: CTest reports the
# test as skipped instead of failed.
SKIP = 77


def repo_path(*parts):
    return os.path.join(ROOT, *parts)


def emit(path, text, check, tool):
    """Writes text to path, or with check compares it with path's content.
    Answers the exit status: 0, or 1 when the committed file differs."""
    if not check:
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        return 0
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", newline="\n", suffix=".gen", delete=False) as f:
        f.write(text)
        fresh = f.name
    try:
        with open(fresh, encoding="utf-8") as f:
            new = f.read()
        try:
            with open(path, encoding="utf-8") as f:
                old = f.read()
        except OSError:
            old = ""
    finally:
        os.unlink(fresh)
    if new == old:
        return 0
    shown = os.path.relpath(path, ROOT)
    print(f"{tool}: {shown} differs from a fresh run; run tools/{tool}.py to regenerate it", file=sys.stderr)
    diff = difflib.unified_diff(old.splitlines(), new.splitlines(), shown, "fresh", lineterm="", n=1)
    for i, line in enumerate(diff):
        if i == 40:
            print("...", file=sys.stderr)
            break
        print(line, file=sys.stderr)
    return 1


def source_missing(path, tool):
    """True (with a note) when a source outside the tree is not installed."""
    if os.path.exists(path):
        return False
    print(f"{tool}: {path} is not installed; nothing to check", file=sys.stderr)
    return True
