// Writes members in the one ZIP shape a bundle container takes (stored, no
// flags, extra fields or comments, a Unix creator, timestamps pinned to
// 1980-01-01): used to write back what a reader accepted, and by the bundle
// mutator to put a changed bundle together again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velk::fuzz {

struct ZipMember {
  std::string name;
  std::string bytes;
  uint32_t mode = 0644;  // 0: no mode (external attributes zero)
};

std::string write_bundle_zip(const std::vector<ZipMember>& members);

}  // namespace velk::fuzz
