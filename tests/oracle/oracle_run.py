"""What the oracle checks share: running a generated Kiv script and comparing
its printed lines with the expected ones."""

import os
import subprocess
import tempfile


def run_script(kiv_run, lines):
    """Runs the script of the given lines; answers its output lines, or None
    (after printing the ends of its output) when it fails."""
    script = "\n".join(lines) + "\n"
    with tempfile.NamedTemporaryFile("w", suffix=".kiv", delete=False) as f:
        f.write(script)
    try:
        run = subprocess.run([kiv_run, f.name], capture_output=True, text=True, timeout=300)
    finally:
        os.unlink(f.name)
    if run.returncode != 0:
        print(run.stdout[-2000:], run.stderr[-2000:])
        return None
    return run.stdout.splitlines()


def compare(out, expected, label):
    """Prints the first 20 lines that differ (label(i) names line i) and a
    count; answers the exit status."""
    failures = 0
    if len(out) != len(expected):
        print(f"expected {len(expected)} lines, got {len(out)}")
        failures += 1
    for i, (got, want) in enumerate(zip(out, expected)):
        if got != want:
            failures += 1
            if failures <= 20:
                print(f"{label(i)}: got {got!r}, expected {want!r}")
    print(f"{len(expected)} checked, {failures} failed")
    return 1 if failures else 0
