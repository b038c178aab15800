#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite (each test case in its own process).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-"$root/build"}
# tshark checks that USB captures decode in a standard analyzer.
BUILD_DIR="$build_dir" EXTRA_PACKAGES="tshark" "$root/scripts/setup.sh" "$@"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 300
