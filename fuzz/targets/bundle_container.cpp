// The bundle container reader (read_container, check_member_layout): what
// it reads keeps its promises (unique UTF-8 names, views inside the artifact,
// 12-bit modes) and, written back in the bundle shape, reads back the same.
#include <set>

#include "core/text.h"
#include "support/bundle_zip.h"
#include "support/fuzz_support.h"

namespace {

void check_members(std::string_view artifact, const std::vector<BundleMember>& members) {
  VELK_FUZZ_CHECK(members.size() <= kMaxContainerMembers, std::to_string(members.size()));
  std::set<std::string> names;
  uint64_t total = 0;
  for (const BundleMember& m : members) {
    VELK_FUZZ_CHECK(is_valid_utf8(m.name), quoted_form(m.name));
    VELK_FUZZ_CHECK(names.insert(m.name).second, quoted_form(m.name));
    VELK_FUZZ_CHECK(m.bytes.empty() || (m.bytes.data() >= artifact.data() &&
                                        m.bytes.data() + m.bytes.size() <=
                                            artifact.data() + artifact.size()),
                    quoted_form(m.name));
    VELK_FUZZ_CHECK(m.mode <= 07777, std::to_string(m.mode));
    VELK_FUZZ_CHECK(m.mode_present == (m.mode != 0), quoted_form(m.name));
    total += m.bytes.size();
  }
  VELK_FUZZ_CHECK(total <= artifact.size(), std::to_string(total));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view artifact = as_text(data, size);
  const auto members = read_container(artifact);
  if (refused(members, {ReasonCode::unsupported_bundle_format, ReasonCode::digest_mismatch,
                        ReasonCode::path_duplicate, ReasonCode::limit_exceeded}))
    return 0;
  check_members(artifact, *members);

  const std::string again_bytes = write_bundle_zip(zip_members(*members));
  const auto again = must(read_container(again_bytes));
  VELK_FUZZ_CHECK(again.size() == members->size(), std::to_string(again.size()));
  for (size_t i = 0; i < members->size(); ++i) {
    const BundleMember& a = (*members)[i];
    const BundleMember& b = again[i];
    VELK_FUZZ_CHECK(a.name == b.name && a.bytes == b.bytes && a.mode == b.mode &&
                        a.mode_present == b.mode_present,
                    quoted_form(a.name));
  }

  const auto manifest = check_member_layout(*members);
  if (refused(manifest, {ReasonCode::unsupported_bundle_format})) return 0;
  static constexpr std::string_view kFixed[] = {kManifestMember, kPassportMember,
                                                kCompositionMember, kConversionMember};
  VELK_FUZZ_CHECK(members->size() >= 4, std::to_string(members->size()));
  for (size_t i = 0; i < 4; ++i)
    VELK_FUZZ_CHECK((*members)[i].name == kFixed[i], quoted_form((*members)[i].name));
  VELK_FUZZ_CHECK(manifest->data() == members->front().bytes.data() &&
                      manifest->size() == members->front().bytes.size(),
                  "the layout check returned another member than bundle.json");
  return 0;
}
