#!/usr/bin/env bash
# Builds the Debian package: the program, its manual pages, its shell
# completion and the guides, with Depends computed by dpkg-shlibdeps.
# Usage: scripts/package.sh [build-dir]  (default build-package, configured
# without the tests). The last line names the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-package}
if [ -x "$build_dir/velk-setup-system" ]; then
  echo "package: bringing $build_dir up to date (seconds), then writing the .deb"
else
  echo "package: building the program, its manual pages and completion into $build_dir (about 5 minutes on two cores), then writing the .deb"
fi
"$PWD/scripts/build.sh" "$build_dir" -DVELK_TESTS=OFF
rm -f "$build_dir"/package/velk-setup-system_*.deb
if ! (cd "$build_dir" && cpack -G DEB >cpack.log 2>&1); then
  cat "$build_dir/cpack.log" >&2
  exit 1
fi
deb=$(ls "$build_dir"/package/velk-setup-system_*.deb)
echo "package: wrote $deb"
