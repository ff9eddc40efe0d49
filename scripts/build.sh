#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing,
# then configures and builds into build/ (or $KIV_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh g++ cmake ninja-build ccache libgtest-dev libssl-dev libcurl4-openssl-dev pkg-config python3 unicode-data \
  zlib1g-dev qt6-base-dev qt6-image-formats-plugins

build_dir="${KIV_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja ${KIV_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
