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
  std::string name;        // valid UTF-8, as stored
  std::string_view bytes;  // the stored data, a view into the artifact
  bool mode_present = false;
  uint32_t mode = 0;  // permission bits with setuid, setgid and sticky
};

// The most members a container may list: the four fixed ones and as many
// files as any profile allows.
inline constexpr uint64_t kMaxContainerMembers = 4 + 8192;

// The members in central-directory order, or the first broken rule
// (unsupported_bundle_format; digest_mismatch for a CRC mismatch;
// path_duplicate for a name listed twice; limit_exceeded for more members
// than kMaxContainerMembers). Names, counts and sizes are checked as the
// directory is walked, before any member's bytes are looked at: a name
// listed twice is refused then, after the fixed positions the layout check
// would report, and members whose sizes add up to more than the artifact
// holds are refused, so no entry can make the reader do more work than the
// artifact's size allows. The members' bytes are views into `artifact`.
Result<std::vector<BundleMember>> read_container(std::string_view artifact);

// The four fixed members come first, in their order. Returns the data of
// "bundle.json".
Result<std::string_view> check_member_layout(const std::vector<BundleMember>& members);

// The names of the four fixed members, in the order the layout requires.
inline constexpr std::string_view kManifestMember = "bundle.json";
inline constexpr std::string_view kPassportMember = "setup-passport.json";
inline constexpr std::string_view kCompositionMember = "composition-report.json";
inline constexpr std::string_view kConversionMember = "conversion-report.json";

}  // namespace velk
