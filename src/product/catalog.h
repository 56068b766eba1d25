// The setup catalog: a directory with one subdirectory per setup, each
// holding a manifest (setup.json) and the home tree written into a target.
// It is found beside the program or named by the override variable; failing
// both, the built-in catalog is written out to a temporary directory that is
// removed again when the last reference to it goes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace velk {

// The environment variable that names a catalog directory.
inline constexpr std::string_view kCatalogVariable = "VELK_SETUP_SYSTEM_SETUP_CATALOG";

// A written-out built-in catalog: the directory is removed, with everything
// in it, when the owner is destroyed. Shared by the catalog and its setups.
class TempCatalogDir {
 public:
  explicit TempCatalogDir(std::string path) : path_(std::move(path)) {}
  ~TempCatalogDir();
  TempCatalogDir(const TempCatalogDir&) = delete;
  TempCatalogDir& operator=(const TempCatalogDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct CatalogSetup {
  std::string id;
  std::string description;
  std::vector<std::string> sources;
  std::string dir;                // the setup directory
  std::string definition_digest;  // tree digest of home
  std::string manifest_digest;    // digest of the bytes of setup.json
  uint64_t file_count = 0;        // regular files under home
  std::shared_ptr<const TempCatalogDir> temp;

  std::string home() const;
};

struct Catalog {
  std::string dir;
  std::shared_ptr<const TempCatalogDir> temp;  // set when written out
};

// Where open_catalog looks; open_catalog fills it from the process.
struct CatalogSearch {
  std::optional<std::string> override_value;  // the variable's raw bytes
  std::string executable_dir;                 // empty when unknown
  std::string working_dir;                    // empty when unknown
  std::string temp_root;                      // TMPDIR, or /tmp
};

CatalogSearch process_catalog_search();

// The override directory, then B/setups/velk-build for B the executable's
// directory and up to three of its ancestors, then the working directory;
// failing those, the built-in catalog written out under the temporary root.
Result<Catalog> open_catalog();
Result<Catalog> open_catalog(const CatalogSearch& search);

// Writes the built-in catalog to a fresh "velk-setup-system-{pid}-{n}"
// directory under `temp_root`. The failure message names the override
// variable.
Result<Catalog> write_builtin_catalog(const std::string& temp_root);

// Every setup of the catalog, in listing order. The first failure ends the
// read.
Result<std::vector<CatalogSetup>> read_setups(const Catalog& catalog);

// The setup with exactly this id (case-sensitive, nothing fuzzy), or "{id}
// is not a setup; this build ships {ids}" with the id in the quoted form.
Result<CatalogSetup> find_setup(const std::vector<CatalogSetup>& setups, std::string_view id);

}  // namespace velk
