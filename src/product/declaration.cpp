#include "product/declaration.h"

#include "core/fs.h"
#include "core/fs_at.h"

namespace velk {

std::string_view component_kind_name(ComponentKind kind) {
  switch (kind) {
    case ComponentKind::instruction: return "instruction";
    case ComponentKind::skill: return "skill";
    case ComponentKind::mcp: return "mcp";
    case ComponentKind::hook: return "hook";
    case ComponentKind::command: return "command";
    case ComponentKind::agent: return "agent";
    case ComponentKind::plugin: return "plugin";
    case ComponentKind::setting: return "setting";
  }
  std::abort();
}

std::string_view projection_kind_name(ProjectionKind kind) {
  switch (kind) {
    case ProjectionKind::marketplace: return "marketplace";
    case ProjectionKind::plugin: return "plugin";
    case ProjectionKind::native_files: return "native_files";
    case ProjectionKind::package: return "package";
  }
  std::abort();
}

std::string_view scope_name(TargetScope scope) {
  switch (scope) {
    case TargetScope::project: return "project";
    case TargetScope::user_root: return "user_root";
  }
  std::abort();
}

std::optional<TargetScope> parse_scope(std::string_view word) {
  if (word == "project") return TargetScope::project;
  if (word == "user_root") return TargetScope::user_root;
  return std::nullopt;
}

std::vector<std::string> ProductDeclaration::owned_paths() const {
  std::vector<std::string> out;
  for (const auto& s : owned_surfaces) out.emplace_back(s.path);
  return out;
}

std::vector<std::string> ProductDeclaration::never_touch_paths() const {
  std::vector<std::string> out;
  for (const auto p : never_touch) out.emplace_back(p);
  return out;
}

namespace {

ProductDeclaration build_declaration() {
  using CK = ComponentKind;
  using PK = ProjectionKind;
  ProductDeclaration d{
      .product_id = "velk-build",
      .provider_id = "velk-setup-system",
      .provider_version = "0.0.63",
      .display_name = "Velk Build",
      .vendor = "Orlix",
      .documented_home = "~/.velk",
      .home_variable = "VELK_HOME",
      .autoupdater_variable = "VELK_DISABLE_AUTOUPDATER",
      .control_dir_name = ".velk-setup-system",
      .state_file_name = "MIREL-VELK-PROVIDER.json",
      .legacy_stamp_name = "MIREL-VELK-BUILD-SETUP.json",
      .default_profile_id = "velk/native-and-plugins/1",
      .home_note = "measured by making the product write its own configuration into the target",
      .executable_name = "velk",
      .owned_surfaces = {{
          {"AGENTS.md", Shape::file, CK::instruction},
          {"config.toml", Shape::file, CK::setting},
          {"sandbox.toml", Shape::file, std::nullopt},
          {"skills", Shape::directory, CK::skill},
          {"agents", Shape::directory, CK::agent},
          {"plugins", Shape::directory, CK::plugin},
          {"hooks", Shape::directory, CK::hook},
          {"workflows", Shape::directory, std::nullopt},
          {"rules", Shape::directory, std::nullopt},
          {"commands", Shape::directory, std::nullopt},
          {"personas", Shape::directory, std::nullopt},
          {"roles", Shape::directory, std::nullopt},
      }},
      .kindless_surfaces = {"commands", "personas", "roles", "rules", "sandbox.toml", "workflows"},
      .never_touch = {"auth.json", "plugins/known_marketplaces.json", "installed-plugins",
                      "sessions", "active_sessions.json", "active_sessions.lock", "logs",
                      "managed_config.toml", "requirements.toml", "managed_config.sig.json",
                      "managed_identity.sig.json", "managed_config_cache.json"},
      .permission_profiles = {"default"},
      .component_kinds = {CK::instruction, CK::skill, CK::mcp, CK::hook, CK::command, CK::agent,
                          CK::plugin, CK::setting},
      .projection_kinds = {PK::marketplace, PK::plugin, PK::native_files, PK::package},
      .scopes = {TargetScope::project, TargetScope::user_root},
      .main_profile = {},
      .user_root_profile = {},
  };
  d.main_profile = ProjectionProfile{
      .profile_id = std::string(d.default_profile_id),
      .component_kinds = {CK::instruction, CK::skill, CK::agent, CK::hook, CK::plugin, CK::setting},
      .projection_kinds = {PK::native_files, PK::marketplace, PK::plugin},
      .native_namespaces = d.owned_paths(),
      .bundle_formats = {"ai-stp-bundle/2"},
      .max_files = 8192,
      .max_bytes = 67108864,
      .target_scope = std::nullopt,
  };
  d.user_root_profile = ProjectionProfile{
      .profile_id = "velk/native-files/user-root/1",
      .component_kinds = {CK::skill},
      .projection_kinds = {PK::native_files},
      .native_namespaces = {"skills"},
      .bundle_formats = {"ai-stp-bundle/2"},
      .max_files = 8192,
      .max_bytes = 67108864,
      .target_scope = TargetScope::user_root,
  };
  return d;
}

}  // namespace

const ProductDeclaration& declaration() {
  static const ProductDeclaration instance = build_declaration();
  return instance;
}

std::vector<std::string> scope_surfaces(std::optional<TargetScope> scope) {
  if (scope == TargetScope::user_root) return declaration().user_root_profile.native_namespaces;
  return declaration().owned_paths();
}

std::vector<std::string> owned_surfaces_present(const Dir& target) {
  std::vector<std::string> present;
  for (const auto& surface : declaration().owned_surfaces) {
    if (target.stat(surface.path)) present.emplace_back(surface.path);
  }
  return present;
}

namespace {

bool protects_at_or_below(std::string_view relative, bool* is_protected) {
  bool below = false;
  *is_protected = false;
  for (const auto p : declaration().never_touch) {
    if (path_is_within(p, relative)) {
      below = true;
      if (path_is_within(relative, p)) *is_protected = true;
    }
  }
  return below;
}

}  // namespace

Status remove_sparing_never_touch_at(const Dir& target, const std::string& relative) {
  const std::string full = target.below(relative);
  const auto failed = [&](int err) {
    return system_error(ErrorKind::state_unavailable, "cannot remove " + full, err);
  };
  bool is_protected = false;
  if (!protects_at_or_below(relative, &is_protected)) {
    if (const int e = target.remove(relative); e != 0) return failed(e);
    return {};
  }
  if (is_protected) return {};
  // A directory above a protected path is emptied entry by entry while it
  // stays; anything else in its place (a file, a link) goes as it is.
  auto dir = target.open(relative);
  if (!dir.ok()) {
    const int e = dir.error();
    if (e == ENOENT) return {};
    if (e != ENOTDIR && e != ELOOP) return failed(e);
    if (const int removed = target.remove(relative); removed != 0) return failed(removed);
    return {};
  }
  auto names = dir->list();
  if (!names.ok()) return with_cause(ErrorKind::state_unavailable, "cannot remove " + full,
                                     names.error().full());
  for (const auto& name : *names)
    VELK_TRY(remove_sparing_never_touch_at(target, relative + "/" + name));
  return {};
}

}  // namespace velk
