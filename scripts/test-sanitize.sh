#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/
# (or $KIV_SANITIZE_BUILD_DIR) and runs the whole ctest suite there, the
# collector torture leg included. Undefined behaviour stops the test that hits
# it, so any report fails the run. Extra arguments go to ctest (e.g. -L torture).
set -euo pipefail
cd "$(dirname "$0")/.."

# An unoptimised build: under the sanitizers it compiles in a third of the
# CPU time of the optimised one, and assertions stay on. A sanitizer build
# checks the runtime's invariants too (KIV_CHECKS, on by default here).
# The torture leg collects every 31 allocations here instead of every 7: each
# collection costs several times more under the sanitizers, and the optimised
# leg has already run every case at the short interval.
# The unit tests run in eight processes rather than one per test: a process's
# start-up under the sanitizers costs about a second.
export KIV_CMAKE_ARGS="-DKIV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DKIV_TORTURE_INTERVAL=${KIV_SANITIZE_TORTURE_INTERVAL:-31} -DKIV_UNIT_TEST_SHARDS=8 ${KIV_CMAKE_ARGS:-}"
export KIV_BUILD_DIR="${KIV_SANITIZE_BUILD_DIR:-build-asan}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"

scripts/build.sh
cd "$KIV_BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" "$@"
