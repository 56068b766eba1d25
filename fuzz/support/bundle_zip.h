// Writes members in the one ZIP shape a bundle container takes (stored, no
// flags, extra fields or comments, a Unix creator, timestamps pinned to
// 1980-01-01): to write back what the reader accepted, and to put a bundle
// the mutator changed together again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle/container.h"

namespace velk::fuzz {

struct ZipMember {
  std::string name;
  std::string bytes;
  uint32_t mode = 0644;  // 0: no mode (external attributes zero)
};

std::vector<ZipMember> zip_members(const std::vector<BundleMember>& members);
std::string write_bundle_zip(const std::vector<ZipMember>& members);

}  // namespace velk::fuzz
