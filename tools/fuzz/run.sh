#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# a while (default 60 seconds; FUZZ_SECONDS=N to change, one target name as
# an argument to run only that one). Corpora are kept in build-fuzz/corpus/.
# A finding stops the run with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-packages.sh clang libclang-rt-14-dev cmake ninja-build
build=build-fuzz
CXX=clang++ cmake -S tools/fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build"
targets=("${@:-fuzz-inflate fuzz-blockcomp fuzz-debase fuzz-kivbin}")
for t in ${targets[@]}; do
  mkdir -p "$build/corpus/$t"
  echo "== $t"
  "$build/$t" -max_total_time="${FUZZ_SECONDS:-60}" -max_len=65536 -rss_limit_mb=2048 \
    "$build/corpus/$t"
done
