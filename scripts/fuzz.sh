#!/usr/bin/env bash
# Fuzzes every reader of outside bytes with libFuzzer (the targets in fuzz/).
#
# Usage: scripts/fuzz.sh [seconds-per-target]      (default 60)
#
# Builds the fuzz build (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz, installing what is missing
# first. For each target it replays the saved inputs in
# fuzz/regressions/<target>/, then fuzzes for the given time, two targets at
# a time, from a working copy of fuzz/seeds/<target>/ (the repository is
# never written): each run is bounded by -max_total_time, -timeout=10 and
# -rss_limit_mb=2048. It prints one line per target (executions, coverage,
# corpus size, findings) and exits 1 when any target found a crash, a leak, a
# sanitizer report or a timeout; the inputs are kept in
# build-fuzz/fuzz-findings/<target>/, which the line names. Everything else
# it makes is in one directory from mktemp -d (in /dev/shm when there is
# one), removed at the end.
#
# VELK_FUZZ_BUILD names another build directory; VELK_FUZZ_JOBS how many
# targets run at once (default 2); VELK_FUZZ_TARGETS a space-separated
# subset of the targets.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [seconds-per-target]   (a positive number, default 60)" >&2
  exit 2
fi
build=${VELK_FUZZ_BUILD:-build-fuzz}
jobs=${VELK_FUZZ_JOBS:-2}

all_targets=(bundle_container bundle_manifest bundle_validation plan_artifact state_file
             slot_record journal installation_record setup_manifest gzip_artifact
             tar_artifact zip_artifact user_grammar provider_grammar quoted_form
             canonical_json)
read -r -a targets <<< "${VELK_FUZZ_TARGETS:-${all_targets[*]}}"

started=$(date +%s)
"$PWD/scripts/bootstrap.sh"
if [ ! -f "$build/build.ninja" ]; then
  echo "fuzz: configuring $build with clang (the first build takes about 5 minutes on two cores)"
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVELK_FUZZ=ON -DVELK_TESTS=OFF >/dev/null
fi
ninja -C "$build" fuzz >/dev/null || ninja -C "$build" fuzz
built=$(date +%s)
echo "fuzz: build ready in $((built - started)) s; ${#targets[@]} targets, $seconds s each, $jobs at a time"

base=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  base=/dev/shm  # memory-backed: the artifact targets write and flush files
fi
work=$(mktemp -d "$base/velk-fuzz.XXXXXXXX")
trap 'rm -rf "$work"' EXIT
findings_root=$PWD/$build/fuzz-findings

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

options_of() {
  case $1 in
    bundle_manifest|plan_artifact|state_file|slot_record|journal|installation_record|\
    setup_manifest|canonical_json) echo "-dict=$PWD/fuzz/dict/json.dict" ;;
    user_grammar|provider_grammar) echo "-dict=$PWD/fuzz/dict/args.dict" ;;
    tar_artifact) echo "-max_len=16384 -dict=$PWD/fuzz/dict/tar.dict" ;;
    bundle_container|bundle_validation) echo "-max_len=16384 -dict=$PWD/fuzz/dict/bundle.dict" ;;
    zip_artifact) echo "-dict=$PWD/fuzz/dict/zip.dict" ;;
  esac
}

# Runs one target: replay, then fuzz; writes its summary line to $work/<target>.line.
run_target() {
  local target=$1
  local binary=$PWD/$build/fuzz/bin/$target
  local dir=$work/$target
  local findings=$findings_root/$target
  mkdir -p "$dir/corpus" "$dir/tmp"
  rm -rf "$findings"
  mkdir -p "$findings"
  local replay_failed=0
  local regressions=()
  if [ -d "fuzz/regressions/$target" ]; then
    while IFS= read -r -d '' file; do regressions+=("$file"); done \
      < <(find "fuzz/regressions/$target" -type f -print0 | sort -z)
  fi
  if [ ${#regressions[@]} -gt 0 ]; then
    if ! TMPDIR=$dir/tmp "$binary" -timeout=10 -rss_limit_mb=2048 \
        "${regressions[@]}" >"$dir/replay.log" 2>&1; then
      replay_failed=1
      cp "$dir/replay.log" "$findings/replay.log"
    fi
  fi
  cp -r "fuzz/seeds/$target/." "$dir/corpus/" 2>/dev/null || true
  local status=0
  # shellcheck disable=SC2046
  TMPDIR=$dir/tmp "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" $(options_of "$target") \
    "$dir/corpus" >"$dir/fuzz.log" 2>&1 || status=$?
  local runs cov corpus found
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log" | tail -1)
  cov=$( (grep -o 'cov: [0-9]*' "$dir/fuzz.log" || true) | tail -1 | cut -d' ' -f2)
  corpus=$(find "$dir/corpus" -type f | wc -l)
  found=$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
          -o -name 'oom-*' -o -name 'slow-unit-*' \) | wc -l)
  if [ "$status" -ne 0 ]; then
    cp "$dir/fuzz.log" "$findings/fuzz.log"
    if [ "$found" -eq 0 ]; then found=1; fi
  fi
  local line
  line=$(printf '%-20s %10s runs  cov: %-6s corpus: %-5s findings: %s' \
         "$target" "${runs:-?}" "${cov:-?}" "$corpus" "$found")
  if [ "$replay_failed" -ne 0 ]; then
    line="$line  REGRESSION (${#regressions[@]} saved inputs replayed; $findings/replay.log)"
  fi
  if [ "$found" -ne 0 ]; then
    line="$line  -> $findings/"
  fi
  if [ "$found" -eq 0 ] && [ "$replay_failed" -eq 0 ]; then
    rmdir "$findings" 2>/dev/null || true
  fi
  echo "$line" >"$work/$target.line"
  echo "$line"
  [ "$found" -eq 0 ] && [ "$replay_failed" -eq 0 ]
}

failed=0
running=0
for target in "${targets[@]}"; do
  if [ ! -x "$build/fuzz/bin/$target" ]; then
    echo "fuzz: no target $target in $build/fuzz/bin" >&2
    exit 2
  fi
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done

finished=$(date +%s)
echo "fuzz: ${#targets[@]} targets fuzzed in $((finished - built)) s ($((finished - started)) s with the build)"
if [ "$failed" -ne 0 ]; then
  echo "fuzz: findings above; each input is kept under $findings_root/<target>/ (add it to fuzz/regressions/<target>/ to replay it on every run)" >&2
  exit 1
fi
rmdir "$findings_root" 2>/dev/null || true
