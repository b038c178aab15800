#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and builds: installs the system packages the build
# needs (only the missing ones), configures and builds into BUILD_DIR (default: build).
# Extra arguments go to cmake's configure step (e.g. -DKRL_SANITIZE=ON); EXTRA_PACKAGES names
# further packages to install.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-"$root/build"}
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev ${EXTRA_PACKAGES:-})

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

cmake -G Ninja -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
