#!/usr/bin/env bash
# Rewrites the seed corpora in fuzz/seeds. Run by hand when a reader's input
# changes shape; scripts/fuzz.sh only reads what this wrote (it is committed).
#
# The program's own outputs come from velk-fuzz-make-seeds, which drives the
# program built in build-fuzz (bundles as the tests make them, plans from
# plan-operation, the state files, slot records and journal real changes
# leave, the record a software install writes). The artifacts are made with
# Debian's gzip, tar and zip; the argument lists and texts are written here.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELK_FUZZ_BUILD:-build-fuzz}
seeds=$PWD/fuzz/seeds

"$PWD/scripts/bootstrap.sh"
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVELK_FUZZ=ON -DVELK_TESTS=OFF >/dev/null
fi
ninja -C "$build" velk-fuzz-make-seeds >/dev/null

rm -rf "$seeds"
mkdir -p "$seeds"
work=$(mktemp -d "${TMPDIR:-/tmp}/velk-seeds.XXXXXXXX")
trap 'rm -rf "$work"' EXIT
ASAN_OPTIONS=detect_leaks=0 TMPDIR=$work "$build/fuzz/velk-fuzz-make-seeds" "$seeds"

# Catalog setup manifests: the built-in setups' own, and two variants.
mkdir -p "$seeds/setup_manifest"
for dir in setups/velk-build/*/; do
  cp "$dir/setup.json" "$seeds/setup_manifest/$(basename "$dir").json"
done
printf '{"schema_version":1,"id":"x","description":"d","sources":null}' >"$seeds/setup_manifest/null-sources.json"
printf '{"schema_version":2,"id":"x","description":"d","extra":[1,{"a":null}]}' >"$seeds/setup_manifest/schema2.json"

# Artifacts: a small program tree, archived by the Debian tools.
tree=$work/tree
mkdir -p "$tree/pkg/bin" "$tree/pkg/share/doc"
printf '#!/bin/sh\necho velk\n' >"$tree/pkg/bin/velk"
chmod 755 "$tree/pkg/bin/velk"
printf 'notes\n' >"$tree/pkg/share/doc/README"
: >"$tree/pkg/share/empty"
mkdir -p "$seeds/gzip_artifact" "$seeds/tar_artifact" "$seeds/zip_artifact"
printf 'velk\n' | gzip -9 -n >"$seeds/gzip_artifact/plain.gz"
printf 'velk named\n' >"$work/named.txt"
gzip -c "$work/named.txt" >"$seeds/gzip_artifact/named.gz"     # FNAME set
: | gzip -n >"$seeds/gzip_artifact/empty.gz"
head -c 3000 /usr/share/common-licenses/GPL-3 | gzip -1 -n >"$seeds/gzip_artifact/text.gz"
(cd "$tree" && tar -b1 --mtime=@0 --sort=name --format=ustar --owner=0 --group=0 --numeric-owner -cf "$seeds/tar_artifact/ustar.tar" pkg)
(cd "$tree" && tar -b1 --mtime=@0 --sort=name --format=gnu --owner=0 --group=0 --numeric-owner -cf "$seeds/tar_artifact/gnu.tar" pkg/bin)
(cd "$tree" && tar -b1 --mtime=@0 --sort=name --format=pax --owner=0 --group=0 --numeric-owner --pax-option=delete=atime,delete=ctime \
  -cf "$seeds/tar_artifact/pax.tar" pkg/bin/velk)
ln -s velk "$tree/pkg/bin/link"
(cd "$tree" && tar -b1 --mtime=@0 --format=ustar -cf "$seeds/tar_artifact/symlink.tar" pkg/bin/link)
rm "$tree/pkg/bin/link"
(cd "$tree" && zip -q -X -r "$seeds/zip_artifact/deflated.zip" pkg)
(cd "$tree" && zip -q -X -0 -r "$seeds/zip_artifact/stored.zip" pkg/bin)
(cd "$tree" && zip -q -X -D "$seeds/zip_artifact/files-only.zip" pkg/bin/velk pkg/share/doc/README)

# Argument lists: the words and flags, NUL-separated.
args() {
  local file=$1
  shift
  printf '%s\0' "$@" | head -c -1 >"$file"
}
u=$seeds/user_grammar
mkdir -p "$u"
args "$u/list" list
args "$u/status" status --target /t
args "$u/install" install --target /t baseline
args "$u/select" select baseline --target /t
args "$u/restore" restore --target /t --backup slot-000000000001
args "$u/hold" hold --target /t --backup slot-000000000002 --reason "keep it"
args "$u/software" software --prefix /opt/velk
args "$u/rollback" rollback --to 1.0.13 --prefix /opt/velk
args "$u/adopt" adopt --target /t
p=$seeds/provider_grammar
mkdir -p "$p"
args "$p/provider-info" provider-info
args "$p/validate" validate-bundle --target /t --json --bundle /b.zip --bundle-format ai-stp-bundle/2 \
  --bundle-digest sha256:00 --artifact-digest sha256:11 --bundle-size 1234
args "$p/plan" plan-operation --target /t --json --operation install --operation-id op-1 \
  --expires-at 2099-12-31T23:59:59.999Z --provider-release-digest release-1 --target-scope user_root \
  --bundle /b.zip --bundle-format ai-stp-bundle/2 --bundle-digest sha256:00 --artifact-digest sha256:11 \
  --bundle-size +7
args "$p/plan-software" plan-operation --target /t --json --operation software_install --operation-id op-2 \
  --expires-at 2099-12-31T23:59:59.999Z --provider-release-digest r --prefix /opt/velk --software-version 1.0.18
args "$p/apply" apply-operation --target /t --json --plan /p.json --plan-digest sha256:22 \
  --provider-release-digest release-1 --software-artifact /a1 --software-artifact /a2 --prefix /opt
args "$p/recover" recover-operation --target /t --json
args "$p/status" status --target /t --json --target-scope project
args "$p/launch" launch --target /t --json --prefix /opt/velk -- --help -- x

# Texts for the quoted form.
q=$seeds/quoted_form
mkdir -p "$q"
printf 'skills/review/SKILL.md' >"$q/plain"
printf 'tab\there\nquote" back\\ nul\0end\r' >"$q/escapes"
printf 'bad \xff\xfe \xe0\x80 \xf0\x9f\x98' >"$q/invalid"
printf 'c1 \xc2\x85 del \x7f sep \xe2\x80\xa8 bom \xef\xbb\xbf pua \xee\x80\x80' >"$q/unprintable"
printf 'caf\xc3\xa9 \xe2\x84\xaa \xc4\xb0 \xf0\x9f\x98\x80 \xe3\x80\x80' >"$q/unicode"

# Documents for canonical JSON besides the program's own.
c=$seeds/canonical_json
printf '{"b":1,"a":[true,false,null],"A":"\\u0007\\b/\\u007f","\\ue000":1,"\\ud800\\udc00":2}' >"$c/order.json"
printf '[-9223372036854775808,18446744073709551615,0,-0,{"":{}},[]]' >"$c/numbers.json"
printf ' {"a" : 1.0 }\n' >"$c/float.json"
printf '"\\u0000\\u001f\\t\\f\\r\\n\\"\\\\ \xc3\xa9"' >"$c/string.json"

echo "make-seeds: $(find "$seeds" -type f | wc -l) files, $(du -sk "$seeds" | cut -f1) KB in $seeds"
