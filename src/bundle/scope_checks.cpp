#include <algorithm>
#include <utility>

#include "bundle/validate.h"
#include "core/text.h"
#include "product/profile.h"
#include "product/write_rule.h"

namespace velk {
namespace {


template <class Kinds, class NameOf>
bool names_one_of(const Kinds& kinds, std::string_view name, NameOf name_of) {
  return std::any_of(kinds.begin(), kinds.end(), [&](auto k) { return name_of(k) == name; });
}

// The profile whose kinds and surfaces serve the requested scope: the
// user-root profile under user_root, the main profile otherwise.
const ProjectionProfile& profile_serving(RequestedScope requested) {
  const ProductDeclaration& d = declaration();
  return requested == RequestedScope::user_root ? d.user_root_profile : d.main_profile;
}

std::string where(RequestedScope requested) {
  switch (requested) {
    case RequestedScope::none: return "";
    case RequestedScope::global: return " at the global profile";
    case RequestedScope::project: return " at project";
    case RequestedScope::user_root: return " at user_root";
  }
  std::abort();
}

}  // namespace

Status check_profile_binding(const BundleManifest& manifest,
                                  std::optional<TargetScope> bound) {
  const ProjectionProfile* profile = profile_for_scope(bound);
  if (!profile)
    return refusal(ReasonCode::projection_profile_mismatch,
                  "bundle v2 is bound to the " + std::string(scope_name(*bound)) + " scope, for which " +
                      std::string(declaration().provider_id) + " publishes no projection profile");
  if (auto broken = check_profile(*profile))
    return refusal(ReasonCode::projection_profile_mismatch, std::move(*broken));
  auto digest = profile_digest(*profile);
  if (!digest.ok()) return std::move(digest).error();
  const ProfileBinding& binding = *manifest.projection_profile;
  const std::string_view scope =
      profile->target_scope ? scope_name(*profile->target_scope) : std::string_view("global");
  if (binding.profile_id != profile->profile_id || binding.profile_digest != *digest ||
      binding.target_scope != scope)
    return refusal(ReasonCode::projection_profile_mismatch,
                  "bundle v2 was compiled for a different provider projection profile");
  for (const ComponentAdaptation& a : manifest.component_adaptations) {
    if (!names_one_of(profile->component_kinds, a.provider_component_kind, component_kind_name) ||
        !names_one_of(profile->projection_kinds, a.projection_kind, projection_kind_name))
      return refusal(ReasonCode::adaptation_binding_mismatch,
                    "adaptation for " + quoted_form(a.stable_id) + " names a kind outside the selected profile");
  }
  return {};
}

Status check_surfaces(const std::map<std::string, BundleFileData>& files,
                      RequestedScope requested) {
  const std::string provider(declaration().provider_id);
  const std::optional<TargetScope> scope =
      requested == RequestedScope::user_root ? std::optional<TargetScope>(TargetScope::user_root)
                                             : std::nullopt;
  for (const auto& entry : files) {
    const std::string& path = entry.first;
    const auto refused = write_refusal(path, scope);
    if (!refused) continue;
    switch (refused->why) {
      case WriteRefusal::Why::outside_surface:
        return refusal(ReasonCode::unsupported_native_surface,
                       "the bundle writes " + quoted_form(path) +
                           ", which is outside the surface " + provider + " owns");
      case WriteRefusal::Why::never_touch:
        return refusal(ReasonCode::unsupported_native_surface,
                       "the bundle writes " + quoted_form(path) +
                           ", which belongs to the product and which " + provider +
                           " never touches");
      case WriteRefusal::Why::holds_never_touch:
        // A file where the product keeps one of its own below it (a file
        // named "plugins") could only land by replacing the directory that
        // holds the product's file, which every change spares.
        return refusal(ReasonCode::unsupported_native_surface,
                       "the bundle writes " + quoted_form(path) +
                           " as a file, where the product keeps " +
                           quoted_form(refused->never_touch) + ", which " + provider +
                           " never touches");
    }
  }
  return {};
}

Status check_component_kinds(const BundleManifest& manifest, RequestedScope requested) {
  const ProjectionProfile& profile = profile_serving(requested);
  for (const ConversionEntry& e : manifest.conversion_report.entries) {
    if (e.component_type.empty()) continue;
    if (!names_one_of(profile.component_kinds, e.component_type, component_kind_name))
      return refusal(ReasonCode::unsupported_component_kind,
                    "the bundle declares component " + quoted_form(e.stable_id) + " as kind " +
                        quoted_form(e.component_type) + ", which " +
                        std::string(declaration().provider_id) + " does not implement" +
                        where(requested));
  }
  return {};
}

}  // namespace velk
