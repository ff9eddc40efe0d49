#!/usr/bin/env bash
# Builds, then runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
# CI builds stop on any compiler warning.
case "${CI:-}" in
  "" | 0 | false) ;;
  *) export KIV_CMAKE_ARGS="-DKIV_WERROR=ON ${KIV_CMAKE_ARGS:-}" ;;
esac
scripts/build.sh
build_dir="${KIV_BUILD_DIR:-build}"
(cd "$build_dir" && ctest --output-on-failure -j "$(nproc)" "$@")
# CI runs the whole suite once more under AddressSanitizer and UBSan, then
# each fuzz target of the byte decoders for a few seconds, then a few hundred
# random Kiv programs through the sanitizer build of kiv-run (a fresh seed
# each run; a fault prints the program, shrunk, with its seed).
case "${CI:-}" in
  "" | 0 | false) ;;
  *)
    scripts/test-sanitize.sh "$@"
    FUZZ_SECONDS="${FUZZ_SECONDS:-10}" tools/fuzz/run.sh
    python3 tools/fuzz_kiv/run.py --kiv "${KIV_SANITIZE_BUILD_DIR:-build-asan}/kiv-run" \
      -n "${FUZZ_KIV_PROGRAMS:-120}" -j 2 --out build-asan-fuzz-kiv
    ;;
esac
