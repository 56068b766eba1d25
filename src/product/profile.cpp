#include "product/profile.h"

#include <set>

#include "core/digest.h"
#include "core/json.h"

namespace velk {

Json profile_identity(const ProjectionProfile& profile) {
  Json component_kinds = Json::array();
  for (auto k : profile.component_kinds) component_kinds.push_back(component_kind_name(k));
  Json projection_kinds = Json::array();
  for (auto k : profile.projection_kinds) projection_kinds.push_back(projection_kind_name(k));
  Json identity = Json::object();
  identity["profile_id"] = profile.profile_id;
  identity["component_kinds"] = std::move(component_kinds);
  identity["projection_kinds"] = std::move(projection_kinds);
  identity["native_namespaces"] = profile.native_namespaces;
  identity["bundle_formats"] = profile.bundle_formats;
  identity["max_files"] = profile.max_files;
  identity["max_bytes"] = profile.max_bytes;
  if (profile.target_scope) identity["target_scope"] = scope_name(*profile.target_scope);
  return identity;
}

Result<std::string> profile_digest(const ProjectionProfile& profile) {
  return digest_document(kProjectionTag, profile_identity(profile));
}

Result<Json> profile_object(const ProjectionProfile& profile) {
  VELK_ASSIGN(std::string digest, profile_digest(profile));
  Json identity = profile_identity(profile);
  Json out = Json::object();
  out["profile_id"] = profile.profile_id;
  out["digest"] = digest;
  for (auto it = identity.begin(); it != identity.end(); ++it) {
    if (it.key() != "profile_id") out[it.key()] = it.value();
  }
  return out;
}

std::optional<std::string> check_profile(const ProjectionProfile& profile) {
  if (profile.profile_id.empty()) return "a projection profile must have an identity";
  if (profile.component_kinds.empty())
    return "a projection profile must declare at least one component_kinds";
  if (profile.projection_kinds.empty())
    return "a projection profile must declare at least one projection_kinds";
  if (profile.native_namespaces.empty())
    return "a projection profile must declare at least one native_namespaces";
  if (profile.bundle_formats.empty())
    return "a projection profile must declare at least one bundle_formats";
  if (profile.max_files == 0 || profile.max_bytes == 0)
    return "a projection profile limit cannot be zero";
  return std::nullopt;
}

std::optional<std::string> check_declared_profiles() {
  const auto& d = declaration();
  if (auto e = check_profile(d.main_profile)) return e;
  std::set<TargetScope> claimed;
  for (const ProjectionProfile* p : scoped_profiles()) {
    if (auto e = check_profile(*p)) return e;
    if (!p->target_scope)
      return "a scoped projection profile must name the target it owns; the global scope is "
             "declared by projection_profile";
    if (!claimed.insert(*p->target_scope).second)
      return "two projection profiles claim the " + std::string(scope_name(*p->target_scope)) +
             " scope";
  }
  return std::nullopt;
}

const ProjectionProfile* profile_for_scope(std::optional<TargetScope> scope) {
  if (!scope) return &declaration().main_profile;
  for (const ProjectionProfile* p : scoped_profiles())
    if (p->target_scope == scope) return p;
  return nullptr;
}

std::vector<const ProjectionProfile*> scoped_profiles() {
  return {&declaration().user_root_profile};
}

}  // namespace velk
