// The setup catalog: a directory with one subdirectory per setup, each
// holding a manifest (setup.json) and the home tree written into a target.
// It is found beside the program or named by the override variable; failing
// both, the built-in catalog is written out to a temporary directory that is
// removed again when the last reference to it goes.
#pragma once

#include <sys/types.h>

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
// It is removed through the temporary root's descriptor and only while the
// name still holds the directory this process made, so nothing another
// user put in a shared temporary directory is ever removed.
class TempCatalogDir {
 public:
  TempCatalogDir(std::string path, int root_fd, std::string name, dev_t dev, ino_t ino)
      : path_(std::move(path)), root_fd_(root_fd), name_(std::move(name)), dev_(dev), ino_(ino) {}
  ~TempCatalogDir();
  TempCatalogDir(const TempCatalogDir&) = delete;
  TempCatalogDir& operator=(const TempCatalogDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int root_fd_;  // the temporary root, owned
  std::string name_;
  dev_t dev_;
  ino_t ino_;
};

// setup.json: the members this build reads (others are ignored).
struct SetupManifest {
  uint64_t schema_version = 0;
  std::string id;
  std::string description;
  std::vector<std::string> sources;
};

// The manifest's text read strictly: the JSON reader's message, or the
// missing-field and duplicate-field messages, on failure.
Result<SetupManifest, std::string> parse_setup_manifest(std::string_view text);

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
// directory under `temp_root`, made exclusively with mode 0700: a name that
// is taken is never removed or reused; the next counter value is tried, a
// bounded number of times. The files are written relative to the new
// directory's descriptor. The failure message names the override variable.
Result<Catalog> write_builtin_catalog(const std::string& temp_root);

// Every setup of the catalog, in the order the directory listing yields
// them (nothing is sorted). The first setup that cannot be read ends the
// read: no partial catalog is returned.
Result<std::vector<CatalogSetup>> read_setups(const Catalog& catalog);

// The setup with exactly this id (case-sensitive, nothing fuzzy), or "{id}
// is not a setup; this build ships {ids}" with the id in the quoted form and
// the ids in catalog order.
Result<CatalogSetup> find_setup(const std::vector<CatalogSetup>& setups, std::string_view id);

}  // namespace velk
