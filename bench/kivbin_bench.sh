#!/usr/bin/env bash
# Kivbin encode and decode speed next to Python's pickle on the same shape of
# data (a large block of mixed values).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target kiv-kivbin-bench >/dev/null
build/bench/kiv-kivbin-bench
python3 bench/kivbin_bench.py
