// The measured facts of the stand-in artifacts kept in releases/: one row per
// file, generated at build time (cmake/releases.cmake), sorted by file name.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace velk {

struct ReleaseFile {
  std::string_view name;    // file name in releases/
  std::string_view sha256;  // digest text
  uint64_t byte_length;
};

std::span<const ReleaseFile> release_files();

}  // namespace velk
