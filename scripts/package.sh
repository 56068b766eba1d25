#!/usr/bin/env bash
# Builds the Debian package: the program, its catalog, its manual pages, its
# shell completion, the guides and the example session, with Depends
# computed by dpkg-shlibdeps. Usage: scripts/package.sh [build-dir]
# (default build, the tree every other script builds into, so what is built
# there already is reused; only what the package holds is built). The last
# line names the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
if [ -x "$build_dir/velk-setup-system" ]; then
  echo "package: bringing the program in $build_dir up to date (seconds), then writing the .deb"
else
  echo "package: building the program, its manual pages and completion into $build_dir (about 5 minutes on two cores), then writing the .deb"
fi
VELK_BUILD_TARGETS="velk-setup-system velk-man velk-completion" "$PWD/scripts/build.sh" "$build_dir"
rm -f "$build_dir"/package/velk-setup-system_*.deb
if ! (cd "$build_dir" && cpack -G DEB >cpack.log 2>&1); then
  cat "$build_dir/cpack.log" >&2
  exit 1
fi
deb=$(ls "$build_dir"/package/velk-setup-system_*.deb)
echo "package: wrote $deb"
