#!/usr/bin/env bash
# Builds if needed and runs every test. Usage: scripts/test.sh [build-dir]
# [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
"$PWD/scripts/build.sh" "$@"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
