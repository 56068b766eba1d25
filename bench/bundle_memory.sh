#!/usr/bin/env bash
# Peak resident memory of `validate-bundle` on a full-size bundle (2,000
# files, just under 64 MiB), measured by /usr/bin/time -v around the real
# binary. Target: below three times the artifact's size.
#
#   bench/bundle_memory.sh [BUILD_DIR]    (default: build-bench, see README)
set -euo pipefail

build=${1:-build-bench}
program=$build/velk-setup-system
writer=$build/bench/bundle_bench
for f in "$program" "$writer"; do
  [[ -x $f ]] || { echo "missing $f; build the benchmarks first (bench/README.md)" >&2; exit 2; }
done
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (Debian package: time)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velk-bundle-memory-XXXXXX")
trap 'rm -rf "$work"' EXIT

mapfile -t claim < <("$writer" --write-bundle "$work")
size=$(stat -c %s "$work/bundle.zip")

/usr/bin/time -v "$program" validate-bundle --target "$work" --json "${claim[@]}" \
  >"$work/answer.json" 2>"$work/time.txt"
grep -q '"valid":true}$' "$work/answer.json" || { echo "bundle not valid:" >&2; cat "$work/answer.json" >&2; exit 1; }

peak_kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
awk -v peak="$peak_kib" -v size="$size" 'BEGIN {
  ratio = peak * 1024 / size
  printf "artifact %d bytes (%.1f MiB); peak resident %d KiB (%.1f MiB); %.2fx the artifact\n",
         size, size / 1048576, peak, peak / 1024, ratio
  if (ratio >= 3) { print "above the 3x target"; exit 1 }
}'
