#!/usr/bin/env bash
# Builds if needed and runs the program's main job on the built-in catalog.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/build.sh" build
./build/velk-setup-system --help
./build/velk-setup-system list
