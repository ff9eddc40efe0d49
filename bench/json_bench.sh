#!/usr/bin/env bash
# JSON decode and encode speed of load-json and to-json on a 20 MB document,
# next to Python's json module on the same text. KIV_RUN names another
# kiv-run to time.
set -euo pipefail
cd "$(dirname "$0")/.."
kiv_run="${KIV_RUN:-build/kiv-run}"
[ -n "${KIV_RUN:-}" ] || cmake --build build --target kiv-run >/dev/null
doc="$(mktemp --suffix=.json)"
script="$(mktemp --suffix=.kiv)"
trap 'rm -f "$doc" "$script"' EXIT
python3 bench/json_bench.py "$doc"
cat > "$script" <<KIV
Kiv []
text: to string! read/binary %$doc
mb: (length? to binary! text) / 1e6
t: now/precise value: load-json text decode: to float! difference now/precise t
t: now/precise out: to-json value encode: to float! difference now/precise t
print rejoin [
    "kiv load-json/to-json: " round/to mb 0.1 " MB, decode " round/to decode 0.01 " s ("
    round/to mb / decode 0.1 " MB/s), encode " round/to encode 0.01 " s ("
    round/to (length? to binary! out) / 1e6 / encode 0.1 " MB/s)"
]
KIV
"$kiv_run" "$script"
