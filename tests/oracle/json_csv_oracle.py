#!/usr/bin/env python3
"""Checks the JSON and CSV codecs against Python's json and csv modules.

Usage: json_csv_oracle.py KIV-RUN

JSON: random documents (nested arrays and objects, strings with escapes,
controls and characters beyond U+FFFF, integers at and past the 32-bit
limits, doubles of every magnitude from their bits) are written by Python,
read by load-json and written again by to-json (plain, /ascii and /pretty);
Python must read back the same document, with integers past 32 bits as the
floats the reader makes of them, and the same bits for every double.

CSV: random tables (fields with delimiters, quotes, CR, LF, CR LF, blanks and
empty fields) written by Python's csv writer are read by load-csv, and
to-csv's text of the same rows is read by Python's csv reader; both must
give the rows back. Every other table uses ";" as delimiter and "'" as
quote (/with and /quote).
"""
import csv
import io
import json
import math
import os
import random
import struct
import subprocess
import sys
import tempfile

INT_MIN, INT_MAX = -2**31, 2**31 - 1
ALPHABET = 'ab ,;"\'\\/\n\r\t\x00\x01\x1f\x7f\u00e9\u2028\ufeff\U0001F600:{}[]'


def random_double(rng):
    while True:
        bits = rng.getrandbits(64)
        v = struct.unpack("<d", struct.pack("<Q", bits))[0]
        if math.isfinite(v):
            return v


def random_string(rng):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(0, 8)))


def random_number(rng):
    kind = rng.randrange(6)
    if kind == 0:
        return rng.choice([0, 1, -1, INT_MAX, INT_MIN, INT_MAX + 1, INT_MIN - 1, 10**30])
    if kind == 1:
        return rng.randrange(-10**6, 10**6)
    if kind == 2:
        return rng.choice([0.1, 1e-78, 1.7976931348623157e308, 5e-324, -0.0, 1e22, 0.5])
    return random_double(rng)


def random_value(rng, depth):
    kind = rng.randrange(8 if depth < 6 else 5)
    if kind == 0:
        return rng.choice([True, False, None])
    if kind in (1, 2):
        return random_number(rng)
    if kind in (3, 4):
        return random_string(rng)
    if kind == 5:
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(0, 5))]
    return {random_string(rng): random_value(rng, depth + 1) for _ in range(rng.randrange(0, 5))}


def as_read(v):
    """The document as the reader gives it back: big integers as floats."""
    if isinstance(v, bool) or v is None:
        return v
    if isinstance(v, int):
        return v if INT_MIN <= v <= INT_MAX else float(v)
    if isinstance(v, list):
        return [as_read(x) for x in v]
    if isinstance(v, dict):
        return {k: as_read(x) for k, x in v.items()}
    return v


def same(a, b):
    """Equality that tells floats by their bits and ints from floats."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def dialect(i):
    return {} if i % 2 == 0 else {"delimiter": ";", "quotechar": "'"}


def main():
    kiv_run = sys.argv[1]
    rng = random.Random(2025)
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        docs = [random_value(rng, 0) for _ in range(300)]
        docs += [random_double(rng) for _ in range(300)]
        # Python's writer quotes a field with a CR only when CR is part of
        # its line terminator, so it writes CR LF here.
        tables = []
        for _ in range(100):
            width = rng.randrange(1, 5)
            table = [[random_string(rng).replace("\x00", "") for _ in range(width)]
                     for _ in range(rng.randrange(1, 5))]
            # A BOM opening the text is taken as its signature by the UTF-8
            # conversion (to string!), so no table starts with one.
            table[0][0] = table[0][0].lstrip("\ufeff")
            tables.append(table)
        for i, d in enumerate(docs):
            with open(os.path.join(tmp, f"j{i}.json"), "w", encoding="utf-8") as f:
                json.dump(d, f, ensure_ascii=rng.random() < 0.5)
        for i, t in enumerate(tables):
            with open(os.path.join(tmp, f"c{i}.csv"), "w", encoding="utf-8", newline="") as f:
                csv.writer(f, **dialect(i)).writerows(t)
            with open(os.path.join(tmp, f"r{i}.json"), "w", encoding="utf-8") as f:
                json.dump(t, f)
        script = os.path.join(tmp, "run.kiv")
        with open(script, "w") as f:
            f.write(f"""Kiv []
dir: %{tmp}/
repeat i {len(docs)} [
    v: load-json to string! read/binary rejoin [dir "j" i - 1 ".json"]
    write rejoin [dir "o" i - 1 ".json"] to binary! to-json :v
    write rejoin [dir "a" i - 1 ".json"] to binary! to-json/ascii :v
    write rejoin [dir "p" i - 1 ".json"] to binary! to-json/pretty :v "  "
]
repeat i {len(tables)} [
    text: to string! read/binary rejoin [dir "c" i - 1 ".csv"]
    rows: load-json to string! read/binary rejoin [dir "r" i - 1 ".json"]
    either odd? i [
        write rejoin [dir "l" i - 1 ".json"] to binary! to-json load-csv text
        write rejoin [dir "w" i - 1 ".csv"] to binary! to-csv rows
    ][
        write rejoin [dir "l" i - 1 ".json"] to binary! to-json load-csv/with/quote text #";" #"'"
        write rejoin [dir "w" i - 1 ".csv"] to binary! to-csv/with/quote rows #";" #"'"
    ]
]
""")
        run = subprocess.run([kiv_run, script], capture_output=True, text=True)
        if run.returncode != 0:
            print("kiv-run failed:", run.stdout, run.stderr)
            return 1
        for i, d in enumerate(docs):
            want = as_read(d)
            for prefix in "oap":
                with open(os.path.join(tmp, f"{prefix}{i}.json"), encoding="utf-8") as f:
                    text = f.read()
                if prefix == "a" and not text.isascii():
                    print(f"json {i}: /ascii output holds non-ASCII text")
                    failures += 1
                got = json.loads(text)
                if not same(got, want):
                    print(f"json {i} ({prefix}): wrote {text[:200]!r} for {json.dumps(d)[:200]}")
                    failures += 1
        for i, t in enumerate(tables):
            with open(os.path.join(tmp, f"l{i}.json"), encoding="utf-8") as f:
                got = json.load(f)
            if got != t:
                print(f"csv {i}: load-csv gave {got!r}, want {t!r}")
                failures += 1
            with open(os.path.join(tmp, f"w{i}.csv"), encoding="utf-8", newline="") as f:
                text = f.read()
            back = list(csv.reader(io.StringIO(text, newline=""), **dialect(i)))
            if back != t:
                print(f"csv {i}: to-csv wrote {text!r}, Python reads {back!r}, want {t!r}")
                failures += 1
    checks = len(docs) * 3 + len(tables) * 2
    print(f"{checks - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
