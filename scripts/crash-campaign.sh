#!/usr/bin/env bash
# Usage: scripts/crash-campaign.sh [rounds]      (default 1000)
# Runs scripts/crash-campaign.py (which says how each round is made and
# checked) in a mktemp -d directory, in /dev/shm when there is one; exits 1
# when any target or prefix ended in another state than its before or after.
# VELK_BINARY names another build of the program; CRASH_SEED replays a
# campaign; CRASH_ONLY keeps only the scenarios whose name contains it.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-1000}
if ! [[ $rounds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/crash-campaign.sh [rounds]   (a positive number, default 1000)" >&2
  exit 2
fi

binary=${VELK_BINARY:-$PWD/build/velk-setup-system}
if [ -z "${VELK_BINARY:-}" ]; then
  VELK_BUILD_TARGETS=velk-setup-system "$PWD/scripts/build.sh" build
fi
if [ ! -x "$binary" ]; then
  echo "crash-campaign: no program at $binary" >&2
  exit 2
fi

base=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  base=/dev/shm  # memory-backed: flushes cost nothing, and a kill loses no written data
fi
work=$(mktemp -d "$base/velk-crash.XXXXXXXX")
trap 'rm -rf "$work"' EXIT

# The bound only stops a campaign that hangs; timeout signals its whole process
# group. In the background, so that an interrupt reaches it at once.
limit=$((300 + rounds * 5))
timeout --kill-after=10 "$limit" /usr/bin/python3 scripts/crash-campaign.py \
  --rounds "$rounds" --work "$work" --binary "$binary" --releases "$PWD/releases" \
  ${CRASH_SEED:+--seed "$CRASH_SEED"} ${CRASH_ONLY:+--only "$CRASH_ONLY"} &
campaign=$!
trap 'kill -TERM "$campaign" 2>/dev/null; wait "$campaign"; exit 130' INT TERM
status=0
wait "$campaign" || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "crash-campaign: stopped after $limit s without finishing" >&2
fi
exit "$status"
