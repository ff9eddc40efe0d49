#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing,
# then configures and builds into build/ (or $KIV_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build ccache libgtest-dev libssl-dev pkg-config python3 unicode-data zlib1g-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

build_dir="${KIV_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja ${KIV_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
