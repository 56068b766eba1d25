#!/usr/bin/env bash
# Builds the program if needed (only the program, not its tests) and runs its
# main job on the built-in catalog.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -x build/velk-setup-system ]; then
  echo "demo: checking that build/velk-setup-system is up to date (seconds), then running it"
else
  echo "demo: building build/velk-setup-system first (about 5 minutes on two cores, more if packages must be installed), then running it"
fi
VELK_BUILD_TARGETS=velk-setup-system "$PWD/scripts/build.sh" build
./build/velk-setup-system --help
./build/velk-setup-system list
