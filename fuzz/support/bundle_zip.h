// Members written in the one ZIP shape a bundle container takes (stored, no flags,
// extra fields or comments, a Unix creator, timestamps pinned to 1980-01-01).
#pragma once

#include <string>
#include <vector>

#include "bundle/container.h"
#include "support/bundle_writer.h"

namespace velk::fuzz {

using ZipMember = testing::ZipEntry;

// A member without a mode is written with external attributes zero.
std::vector<ZipMember> zip_members(const std::vector<BundleMember>& members);
std::string write_bundle_zip(const std::vector<ZipMember>& members);

}  // namespace velk::fuzz
