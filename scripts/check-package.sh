#!/usr/bin/env bash
# Checks a built Debian package as a user meets it: unpacked into a scratch
# root with dpkg -x, it holds exactly the expected files, its control fields
# are filled in (Recommends names bash-completion), the program it carries
# prints its version and lists the catalog installed beside it without
# writing anything to its temporary directory, the example session it
# carries runs green against it, its manual pages render without a warning,
# and lintian finds no error (its warnings are printed).
# Usage: scripts/check-package.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

dpkg -x "$deb" "$scratch/root"
catalog=./usr/lib/velk-setup-system/setups/velk-build
files=$(cd "$scratch/root" && find . ! -type d ! -path "$catalog/*" | sort)
expected="./usr/bin/velk-setup-system
./usr/lib/python3/dist-packages/velk_setup_client/__init__.py
./usr/lib/python3/dist-packages/velk_setup_client/__main__.py
./usr/lib/python3/dist-packages/velk_setup_client/bundle.py
./usr/lib/python3/dist-packages/velk_setup_client/canonical.py
./usr/lib/python3/dist-packages/velk_setup_client/cli.py
./usr/lib/python3/dist-packages/velk_setup_client/errors.py
./usr/lib/python3/dist-packages/velk_setup_client/paths.py
./usr/lib/python3/dist-packages/velk_setup_client/product.py
./usr/lib/python3/dist-packages/velk_setup_client/provider.py
./usr/lib/velk-setup-system/velk-setup-system
./usr/share/bash-completion/completions/velk-setup-system
./usr/share/doc/velk-setup-system/changelog.gz
./usr/share/doc/velk-setup-system/copyright
./usr/share/doc/velk-setup-system/examples/protocol_session.py
./usr/share/doc/velk-setup-system/protocol-guide.md
./usr/share/doc/velk-setup-system/troubleshooting.md
./usr/share/doc/velk-setup-system/user-guide.md
./usr/share/fish/vendor_completions.d/velk-setup-system.fish
./usr/share/man/man1/velk-setup-system.1.gz
./usr/share/man/man7/velk-setup-system-protocol.7.gz
./usr/share/zsh/vendor-completions/_velk-setup-system"
[ "$files" = "$expected" ] || fail "the package holds:"$'\n'"$files"
[ "$(readlink "$scratch/root/usr/bin/velk-setup-system")" = ../lib/velk-setup-system/velk-setup-system ] ||
  fail "/usr/bin/velk-setup-system is not a link to the program in /usr/lib/velk-setup-system"
diff -r "$scratch/root/$catalog" setups/velk-build >/dev/null ||
  fail "the catalog beside the program is not the source tree's"

for field in Package Version Architecture Maintainer Section Priority Depends Description; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "the control field $field is empty"
done
[[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || fail "Depends does not name the C library"
# The Unicode library is loaded when first needed, so dpkg-shlibdeps
# cannot find it: the package names it itself.
[[ $(dpkg-deb -f "$deb" Depends) == *libicu* ]] || fail "Depends does not name the Unicode library"
[[ $(dpkg-deb -f "$deb" Recommends) == *bash-completion* ]] ||
  fail "Recommends does not name bash-completion, without which the completion does nothing"

# The program runs from the scratch root alone, in a directory that holds no
# catalog, with its temporary files in the scratch directory.
program=$scratch/root/usr/bin/velk-setup-system
version=$(cd "$scratch" && TMPDIR=$scratch "$program" --version)
[ "$version" = "velk-setup-system $(dpkg-deb -f "$deb" Version)" ] ||
  fail "the program says \"$version\", the package $(dpkg-deb -f "$deb" Version)"
mkdir "$scratch/tmp"
list=$(cd "$scratch" && env -u VELK_SETUP_SYSTEM_SETUP_CATALOG TMPDIR="$scratch/tmp" "$program" list)
for id in minimal baseline full-auto mirel-builder; do
  grep -qx "  $id" <<< "$list" || fail "list does not show $id:"$'\n'"$list"
done
[ -z "$(ls -A "$scratch/tmp")" ] ||
  fail "the installed program wrote its catalog out instead of reading the one beside it"

# The example session the protocol guide tells the reader to run, as the
# package installs it, against the installed program.
session=$(cd "$scratch/tmp" && TMPDIR="$scratch/tmp" /usr/bin/python3 \
  "$scratch/root/usr/share/doc/velk-setup-system/examples/protocol_session.py" --program "$program") ||
  fail "the installed example session failed:"$'\n'"$session"
[ "$(tail -n 1 <<< "$session")" = "session complete" ] || fail "the example session did not complete"

# The consumer library the package carries runs from where it is installed.
PYTHONPATH=$scratch/root/usr/lib/python3/dist-packages /usr/bin/python3 -m velk_setup_client --help \
  >/dev/null || fail "the installed consumer library does not run"

for page in "$scratch"/root/usr/share/man/man*/*.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page") renders with warnings:"$'\n'"$warnings"
done

lintian --fail-on error "$deb" || fail "lintian found errors"
echo "check-package: $(basename "$deb") is sound"
