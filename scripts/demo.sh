#!/usr/bin/env bash
# Sets everything up, builds and runs the main job: krlbay demo on the default machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-"$root/build"}
BUILD_DIR="$build_dir" "$root/scripts/setup.sh"
exec "$build_dir/app/krlbay" demo "$@"
