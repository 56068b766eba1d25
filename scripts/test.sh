#!/usr/bin/env bash
# Builds if needed and runs every test. Usage: scripts/test.sh [build-dir]
# [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
if [ -f "$build_dir/build.ninja" ]; then
  echo "test: bringing $build_dir up to date (seconds to minutes, by what changed), then running every test"
else
  echo "test: building the program and its tests into $build_dir (about 10 minutes on two cores, more if packages must be installed), then running every test"
fi
"$PWD/scripts/build.sh" "$@"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
