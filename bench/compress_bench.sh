#!/usr/bin/env bash
# Compression ratio and speed next to the system zlib, on the repository's
# own sources (as one text), synthetic text, an executable, random bytes and
# zeros. Extra files to measure may be given as arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/bench
mkdir -p "$out"
g++ -std=c++20 -O2 -I. bench/compress_bench.cpp runtime/host/{deflate,inflate,zlib,gzip,checksum,blockcomp}.cpp \
  -lz -o "$out/compress_bench"
find runtime -name '*.cpp' -o -name '*.h' | sort | xargs cat > "$out/sources.txt"
"$out/compress_bench" "$out/sources.txt" "$@"
