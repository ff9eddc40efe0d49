#!/usr/bin/env python3
"""Makes a JSON document of about 20 MB (records of strings, integers,
floats, logic values, nulls and small arrays, as an API answer looks) and
times Python's json module decoding and encoding it. Usage: json_bench.py
FILE writes the document to FILE first."""
import json
import random
import sys
import time


def document():
    rng = random.Random(7)
    records = []
    for i in range(120000):
        records.append({
            "id": i,
            "name": "user %d caf\u00e9" % i,
            "email": "u%d@example.org" % i,
            "score": rng.random() * 1000,
            "active": i % 3 == 0,
            "parent": None if i % 5 else i // 5,
            "tags": ["alpha", "beta\n", "gamma"][: i % 4],
            "pos": [rng.randrange(-10**6, 10**6), rng.uniform(-1, 1)],
        })
    return {"count": len(records), "records": records}


def main():
    path = sys.argv[1]
    text = json.dumps(document(), ensure_ascii=False)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    t = time.perf_counter()
    value = json.loads(text)
    decode = time.perf_counter() - t
    t = time.perf_counter()
    out = json.dumps(value, ensure_ascii=False)
    encode = time.perf_counter() - t
    mb = len(text.encode("utf-8")) / 1e6
    print(f"python json: {mb:.1f} MB, decode {decode:.2f} s ({mb / decode:.1f} MB/s), "
          f"encode {encode:.2f} s ({len(out.encode('utf-8')) / 1e6 / encode:.1f} MB/s)")


if __name__ == "__main__":
    main()
