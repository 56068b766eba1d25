// Reading the setups of a catalog, checking each manifest against its
// directory, and looking a setup up by id.
#include <sys/stat.h>

#include "core/digest.h"
#include "core/fs.h"
#include "core/json.h"
#include "core/text.h"
#include "product/catalog.h"

namespace velk {
namespace {

// The largest setup.json this build reads: four short members.
constexpr uint64_t kSetupManifestCap = 1024 * 1024;

constexpr uint64_t kSetupSchema = 1;

// Catalog messages are complete sentences: the system error or parser text
// is already part of the message.
Error failure(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

// The cause of a helper's error, or its message when it has none.
std::string error_text(const Error& error) { return error.has_cause() ? error.cause : error.message; }


Mapped<SetupManifest> map_manifest(const Json& document) {
  VELK_TRY(as_object(document));
  SetupManifest manifest;
  VELK_ASSIGN(manifest.schema_version, field_u64(document, "schema_version"));
  VELK_ASSIGN(manifest.id, field_string(document, "id"));
  VELK_ASSIGN(manifest.description, field_string(document, "description"));
  VELK_ASSIGN(manifest.sources, field_optional_string_list(document, "sources"));
  return manifest;
}


// Regular files below `dir`, links not followed.
Result<uint64_t> count_files(const std::string& dir) {
  const auto names = list_directory(dir);
  if (!names.ok()) return failure("cannot list " + dir + ": " + error_text(names.error()));
  uint64_t count = 0;
  for (const auto& name : *names) {
    const std::string path = path_join(dir, name);
    const auto st = lstat_path(path);
    if (!st) continue;
    if (S_ISDIR(st->st_mode)) {
      VELK_ASSIGN(const uint64_t below, count_files(path));
      count += below;
    } else if (S_ISREG(st->st_mode)) {
      ++count;
    }
  }
  return count;
}

Result<CatalogSetup> read_setup(const Catalog& catalog, const std::string& name) {
  const std::string dir = path_join(catalog.dir, name);
  const std::string manifest_path = path_join(dir, "setup.json");

  const auto text = read_file(manifest_path, "cannot read " + manifest_path, kSetupManifestCap);
  if (!text.ok()) return failure("cannot read " + manifest_path + ": " + error_text(text.error()));

  auto manifest = parse_setup_manifest(*text);
  if (!manifest.ok()) return failure(manifest_path + " does not parse: " + manifest.error());
  if (manifest->schema_version != kSetupSchema)
    return failure(manifest_path + " is schema " + std::to_string(manifest->schema_version) +
                   " and this build writes " + std::to_string(kSetupSchema));
  if (manifest->id != name)
    return failure(manifest_path + " declares id " + manifest->id + " but sits in " + name);

  CatalogSetup setup;
  setup.id = std::move(manifest->id);
  setup.description = std::move(manifest->description);
  setup.sources = std::move(manifest->sources);
  setup.dir = dir;
  setup.temp = catalog.temp;

  const std::string home = setup.home();
  if (!is_directory(home)) return failure(dir + " has no home tree");
  const auto definition = digest_tree(home);
  if (!definition.ok()) return failure(definition.error().full());
  setup.definition_digest = *definition;

  // Read again for the digest, as the bytes the manifest digest stands for.
  const auto again = read_file(manifest_path, "cannot re-read " + manifest_path, kSetupManifestCap);
  if (!again.ok())
    return failure(manifest_path + " cannot be re-read: " + error_text(again.error()));
  setup.manifest_digest = digest_bytes(*again);

  VELK_ASSIGN(setup.file_count, count_files(home));
  return setup;
}

}  // namespace

Mapped<SetupManifest> parse_setup_manifest(std::string_view text) {
  VELK_ASSIGN(const Json document, parse_json(text));
  return map_manifest(document);
}

Result<std::vector<CatalogSetup>> read_setups(const Catalog& catalog) {
  const auto names = list_directory(catalog.dir);
  if (!names.ok())
    return failure("cannot list the setup catalog at " + catalog.dir + ": " + error_text(names.error()));
  std::vector<CatalogSetup> setups;
  for (const auto& name : *names) {
    const std::string dir = path_join(catalog.dir, name);
    if (!is_directory(dir) || !is_regular_file(path_join(dir, "setup.json"))) continue;
    VELK_ASSIGN(CatalogSetup setup, read_setup(catalog, name));
    setups.push_back(std::move(setup));
  }
  return setups;
}

Result<CatalogSetup> find_setup(const std::vector<CatalogSetup>& setups, std::string_view id) {
  for (const auto& setup : setups)
    if (setup.id == id) return setup;
  if (setups.empty())
    return failure(quoted_form(id) + " is not a setup; this build ships no catalog");
  std::vector<std::string> ids;
  for (const auto& setup : setups) ids.push_back(setup.id);
  return failure(quoted_form(id) + " is not a setup; this build ships " + join(ids, ", "));
}

}  // namespace velk
