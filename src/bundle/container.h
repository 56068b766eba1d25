// The bundle container: a ZIP archive held in memory and restricted to one
// byte-reproducible shape (single disk, no comments, stored members, no
// flags or extra fields, a Unix creator, timestamps pinned to 1980-01-01).
// This reader shares nothing with the permissive reader of software
// artifacts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace velk {

struct BundleMember {
  std::string name;   // valid UTF-8, as stored
  std::string bytes;  // the stored data, copied once out of the artifact
  bool mode_present = false;
  uint32_t mode = 0;  // permission bits with setuid, setgid and sticky
};

// The members in central-directory order, or the first broken rule
// (unsupported_bundle_format; digest_mismatch for a CRC mismatch).
Result<std::vector<BundleMember>> read_container(std::string_view artifact);

// The four fixed members come first, in their order, and no name occurs
// twice. Returns the data of "bundle.json", a view into the list that stays
// valid while the list is left unchanged.
Result<std::string_view> check_member_layout(const std::vector<BundleMember>& members);

// The names of the four fixed members, in the order the layout requires.
inline constexpr std::string_view kManifestMember = "bundle.json";
inline constexpr std::string_view kPassportMember = "setup-passport.json";
inline constexpr std::string_view kCompositionMember = "composition-report.json";
inline constexpr std::string_view kConversionMember = "conversion-report.json";

}  // namespace velk
