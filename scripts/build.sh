#!/usr/bin/env bash
# Builds the program (and its tests) into build/, installing what is missing
# first. Usage: scripts/build.sh [build-dir] [extra cmake arguments...]
# VELK_BUILD_TARGETS, when set, names the ninja targets to build instead of
# everything (scripts/demo.sh builds only the program).
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/bootstrap.sh"
build_dir=${1:-build}
shift || true
if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S . -B "$build_dir" -G Ninja "$@" >/dev/null
fi
read -r -a targets <<< "${VELK_BUILD_TARGETS:-}"
# ninja's own status line shows how far the build is ("[n/m] ...").
ninja -C "$build_dir" "${targets[@]}"
