#!/usr/bin/env bash
# Crash campaign: applies real changes through the built program, kills it
# with SIGKILL at a random moment, recovers, and checks that every target
# ends exactly as its before or its after state (and every program prefix as
# its after state once the next software operation has run).
#
# Usage: scripts/crash-campaign.sh [rounds]      (default 1000)
#
# Rounds rotate through install, replace, restore and remove under the global
# scope (over the protocol and as typed commands) and under user_root, and
# software_install and software_update into a prefix; scripts/crash-campaign.py
# says how each round is made and checked. It prints a summary and exits 1
# when any target or prefix ended in another state. Everything it creates is
# in one directory from mktemp -d (in /dev/shm when there is one), removed at
# the end; every run of the program is bounded, and so is the whole campaign.
#
# VELK_BINARY names another build of the program; CRASH_SEED fixes the
# random choices (scenarios rotate, delays are drawn) to replay a campaign;
# CRASH_ONLY keeps only the scenarios whose name contains it (say "remove").
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

seed=()
if [ -n "${CRASH_SEED:-}" ]; then
  seed=(--seed "$CRASH_SEED")
fi
if [ -n "${CRASH_ONLY:-}" ]; then
  seed+=(--only "$CRASH_ONLY")
fi

# A round takes a fraction of a second; the bound only stops a campaign that
# hangs. timeout signals the campaign's whole process group, the program runs
# included. Run in the background so that an interrupt reaches it at once.
limit=$((300 + rounds * 5))
timeout --kill-after=10 "$limit" /usr/bin/python3 scripts/crash-campaign.py \
  --rounds "$rounds" --work "$work" --binary "$binary" --releases "$PWD/releases" \
  "${seed[@]}" &
campaign=$!
trap 'kill -TERM "$campaign" 2>/dev/null; wait "$campaign"; exit 130' INT TERM
status=0
wait "$campaign" || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "crash-campaign: stopped after $limit s without finishing" >&2
fi
exit "$status"
