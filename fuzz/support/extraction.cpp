#include "support/extraction.h"

#include <sys/stat.h>

#include "core/fs.h"

namespace velk::fuzz {
namespace {

void walk(const std::string& dir, uint64_t& files, uint64_t& bytes) {
  for (const std::string& name : entries_of(dir)) {
    const std::string path = dir + "/" + name;
    const auto st = lstat_path(path);
    VELK_FUZZ_CHECK(st.has_value(), path);
    if (S_ISDIR(st->st_mode)) {
      walk(path, files, bytes);
      continue;
    }
    VELK_FUZZ_CHECK(S_ISREG(st->st_mode), "extraction left something other than a file or a "
                                          "directory: " + path);
    VELK_FUZZ_CHECK((st->st_mode & (S_ISUID | S_ISGID | S_ISVTX)) == 0,
                    "a set-id or sticky bit survived: " + path);
    ++files;
    bytes += static_cast<uint64_t>(st->st_size);
  }
}

}  // namespace

void extract_and_check(const std::string& artifact, ArtifactForm form, uint64_t byte_length) {
  const std::string destination = fresh_dir();
  const Dir held = *Dir::open_root(destination);
  const auto placed = extract_artifact(artifact, form, held, byte_length);
  uint64_t files = 0, bytes = 0;
  walk(destination, files, bytes);
  VELK_FUZZ_CHECK(bytes <= extraction_limits(byte_length).max_bytes, std::to_string(bytes));
  if (!refused(placed, ErrorKind::state_unavailable)) {
    VELK_FUZZ_CHECK(*placed == files,
                    "placed " + std::to_string(*placed) + ", found " + std::to_string(files));
    const auto entry = lstat_path(destination + "/bin/velk");
    VELK_FUZZ_CHECK(find_entry_point(held, "bin/velk").ok() ==
                        (entry && S_ISREG(entry->st_mode)),
                    "find_entry_point disagrees with the destination");
  }

  const std::string dest_name = destination.substr(scratch_dir().size() + 1);
  const std::string artifact_name = artifact.substr(scratch_dir().size() + 1);
  for (const std::string& name : entries_of(scratch_dir()))
    VELK_FUZZ_CHECK(name == dest_name || name == artifact_name,
                    "extraction wrote outside its destination: " + name);

  must(remove_path(destination), destination);
}

}  // namespace velk::fuzz
