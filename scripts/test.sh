#!/usr/bin/env bash
# Builds, then runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
build_dir="${KIV_BUILD_DIR:-build}"
(cd "$build_dir" && ctest --output-on-failure -j "$(nproc)" "$@")
# CI runs the whole suite once more under AddressSanitizer and UBSan, then
# each fuzz target of the byte decoders for a few seconds.
case "${CI:-}" in
  "" | 0 | false) ;;
  *)
    scripts/test-sanitize.sh "$@"
    FUZZ_SECONDS="${FUZZ_SECONDS:-10}" tools/fuzz/run.sh
    ;;
esac
