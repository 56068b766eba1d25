#include <set>
#include <utility>

#include "bundle/validate.h"
#include "core/digest.h"
#include "core/path_rules.h"
#include "core/text.h"

namespace velk {
namespace {

Error missing(std::string detail) {
  return refusal(ReasonCode::adaptation_binding_missing, std::move(detail));
}
Error mismatch(std::string detail) {
  return refusal(ReasonCode::adaptation_binding_mismatch, std::move(detail));
}

bool is_lower_hex(std::string_view text) {
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// "adaptation_" followed by 64 lower-case hexadecimal digits.
bool is_adaptation_id(std::string_view id) {
  constexpr std::string_view kPrefix = "adaptation_";
  return id.size() == kPrefix.size() + 64 && starts_with(id, kPrefix) &&
         is_lower_hex(id.substr(kPrefix.size()));
}

// The binding's own rules; member paths are checked one by one elsewhere.
bool is_canonical(const ComponentAdaptation& a) {
  return !a.version.empty() && !a.stable_id.empty() && !a.member_paths.empty() &&
         is_adaptation_id(a.adaptation_id) && is_digest_text(a.passport_digest) &&
         !a.projection_kind.empty() && is_digest_text(a.projection_artifact.digest) &&
         a.projection_artifact.size_bytes != 0 && !a.provider_component_kind.empty();
}

Status check_adaptations(const std::vector<ComponentAdaptation>& adaptations) {
  std::set<std::string_view> seen;
  const std::string* previous = nullptr;
  for (const ComponentAdaptation& a : adaptations) {
    if (previous && !(*previous < a.stable_id))
      return mismatch("component_adaptations are not strictly sorted by stable_id");
    previous = &a.stable_id;
    if (!is_canonical(a) || !seen.insert(a.stable_id).second)
      return mismatch("adaptation for " + quoted_form(a.stable_id) + " is not canonical");
    const std::string* previous_path = nullptr;
    for (const std::string& path : a.member_paths) {
      VELK_TRY(check_bundle_path(path));
      if (previous_path && !(*previous_path < path))
        return mismatch("member_paths for " + quoted_form(a.stable_id) +
                        " are not strictly sorted");
      previous_path = &path;
    }
  }
  return {};
}

// Every file is owned by an adaptation that lists it, and every listed
// member path is a file owned by that adaptation.
bool closes(const BundleManifest& manifest) {
  std::set<std::pair<std::string_view, std::string_view>> listed;
  for (const ComponentAdaptation& a : manifest.component_adaptations)
    for (const std::string& path : a.member_paths) listed.emplace(a.stable_id, path);
  std::set<std::pair<std::string_view, std::string_view>> owned;
  for (const BundleFile& f : manifest.files) owned.emplace(f.owner, f.path);
  return listed == owned;
}

}  // namespace

Status check_structure(const BundleManifest& manifest) {
  if (!manifest.projection_profile) return missing("bundle v2 has no projection_profile");
  if (manifest.component_adaptations.empty())
    return missing("bundle v2 has no component_adaptations");
  const ProfileBinding& binding = *manifest.projection_profile;
  const std::string_view manifest_scope =
      manifest.target_scope ? std::string_view(*manifest.target_scope) : "global";
  if (binding.profile_id.empty() || !is_digest_text(binding.profile_digest) ||
      binding.target_scope != manifest_scope)
    return refusal(ReasonCode::projection_profile_mismatch,
                         "bundle v2's profile binding is incomplete or names another scope");
  VELK_TRY(check_adaptations(manifest.component_adaptations));
  if (!closes(manifest))
    return mismatch("bundle files do not close over the declared component adaptations");
  return {};
}

}  // namespace velk
