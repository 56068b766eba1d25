#include "support/extraction.h"

#include <sys/stat.h>

#include "core/fs.h"
#include "support/fuzz_support.h"

namespace velk::fuzz {
namespace {

struct Found {
  uint64_t files = 0;
  uint64_t bytes = 0;
};

void walk(const std::string& dir, Found& found) {
  for (const std::string& name : entries_of(dir)) {
    const std::string path = dir + "/" + name;
    const auto st = lstat_path(path);
    VELK_FUZZ_CHECK(st.has_value(), path);
    if (S_ISDIR(st->st_mode)) {
      walk(path, found);
      continue;
    }
    VELK_FUZZ_CHECK(S_ISREG(st->st_mode), "extraction left something other than a file or a "
                                          "directory: " + path);
    VELK_FUZZ_CHECK((st->st_mode & (S_ISUID | S_ISGID | S_ISVTX)) == 0,
                    "a set-id or sticky bit survived: " + path);
    ++found.files;
    found.bytes += static_cast<uint64_t>(st->st_size);
  }
}

}  // namespace

void extract_and_check(const std::string& artifact, ArtifactForm form, uint64_t byte_length) {
  const std::string destination = fresh_dir();
  const Dir held = *Dir::open_root(destination);
  auto placed = extract_artifact(artifact, form, held, byte_length);
  if (!placed.ok()) check_error_kind(placed.error(), ErrorKind::state_unavailable);

  Found found;
  walk(destination, found);
  VELK_FUZZ_CHECK(found.bytes <= extraction_limits(byte_length).max_bytes,
                  std::to_string(found.bytes));
  if (placed.ok()) {
    VELK_FUZZ_CHECK(*placed == found.files,
                    "placed " + std::to_string(*placed) + ", found " + std::to_string(found.files));
    const auto entry = lstat_path(destination + "/bin/velk");
    VELK_FUZZ_CHECK(find_entry_point(held, "bin/velk").ok() ==
                        (entry && S_ISREG(entry->st_mode)),
                    "find_entry_point disagrees with the destination");
  }

  const std::vector<std::string> left = entries_of(scratch_dir());
  const std::string dest_name = destination.substr(scratch_dir().size() + 1);
  const std::string artifact_name = artifact.substr(scratch_dir().size() + 1);
  for (const std::string& name : left)
    VELK_FUZZ_CHECK(name == dest_name || name == artifact_name,
                    "extraction wrote outside its destination: " + name);

  auto removed = remove_path(destination);
  VELK_FUZZ_CHECK(removed.ok(), removed.ok() ? "" : removed.error().full());
}

}  // namespace velk::fuzz
