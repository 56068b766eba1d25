#!/usr/bin/env bash
# Crash campaign: real changes through the built program, each killed with
# SIGKILL at a random moment; every target must end as its before or its after
# state (scripts/crash-campaign.py says how each round is made and checked).
# Exits 1 when any target or prefix ended in another state.
#
# Usage: scripts/crash-campaign.sh [rounds]      (default 1000)
#
# Works in one directory from mktemp -d (in /dev/shm when there is one),
# removed at the end. VELK_BINARY names another build of the program;
# CRASH_SEED replays a campaign; CRASH_ONLY keeps only the scenarios whose
# name contains it (say "remove").
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

# A round takes a fraction of a second; the bound only stops a campaign that
# hangs. timeout signals the campaign's whole process group, the program runs
# included. Run in the background so that an interrupt reaches it at once.
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
