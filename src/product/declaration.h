// The product declaration: the one constant record that binds this provider
// to the product it configures. Every other folder reads these values from
// here and never spells them out itself.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/dir.h"
#include "core/error.h"

namespace velk {

enum class Shape { file, directory };

enum class ComponentKind { instruction, skill, mcp, hook, command, agent, plugin, setting };
enum class ProjectionKind { marketplace, plugin, native_files, package };
// A target scope word; the product's own home (the global scope) is the
// absence of one: std::optional<TargetScope>.
enum class TargetScope { project, user_root };

std::string_view component_kind_name(ComponentKind kind);
std::string_view projection_kind_name(ProjectionKind kind);
std::string_view scope_name(TargetScope scope);
std::optional<TargetScope> parse_scope(std::string_view word);

struct OwnedSurface {
  std::string_view path;
  Shape shape;
  std::optional<ComponentKind> kind;  // nullopt for a kindless surface
};

struct ProjectionProfile {
  std::string profile_id;
  std::vector<ComponentKind> component_kinds;
  std::vector<ProjectionKind> projection_kinds;
  std::vector<std::string> native_namespaces;
  std::vector<std::string> bundle_formats;
  uint64_t max_files = 0;
  uint64_t max_bytes = 0;
  std::optional<TargetScope> target_scope;  // absent for the global profile
};

struct ProductDeclaration {
  std::string_view product_id;
  std::string_view provider_id;
  std::string_view provider_version;
  std::string_view display_name;
  std::string_view vendor;
  std::string_view documented_home;
  std::string_view home_variable;
  std::string_view autoupdater_variable;
  std::string_view control_dir_name;
  std::string_view state_file_name;
  std::string_view legacy_stamp_name;
  std::string_view default_profile_id;
  std::string_view home_note;
  std::string_view executable_name;

  std::array<OwnedSurface, 12> owned_surfaces;
  std::array<std::string_view, 6> kindless_surfaces;  // byte order
  std::array<std::string_view, 12> never_touch;
  std::array<std::string_view, 1> permission_profiles;
  std::array<ComponentKind, 8> component_kinds;
  std::array<ProjectionKind, 4> projection_kinds;
  std::array<TargetScope, 2> scopes;

  ProjectionProfile main_profile;
  ProjectionProfile user_root_profile;

  // The owned surface paths, in declaration order.
  std::vector<std::string> owned_paths() const;
  // The never-touch paths, in declaration order.
  std::vector<std::string> never_touch_paths() const;
};

// The one declaration of this build.
const ProductDeclaration& declaration();

// The surfaces a scope owns, which its identity measures, its link check
// walks and its backups capture: the twelve owned surfaces for none or
// project, the user-root namespaces ("skills") whole under user_root.
std::vector<std::string> scope_surfaces(std::optional<TargetScope> scope);

// The owned surfaces that exist in the target (looked at without following a
// final link; a dangling link counts), in declaration order.
std::vector<std::string> owned_surfaces_present(const Dir& target);

// Removes `relative` (a path inside the target) whole unless a never-touch
// path lies at or below it: a never-touch path itself is left alone, and a
// directory above one is emptied entry by entry with the same rule while it
// stays. Every step is relative to the target's descriptor and never
// follows a link. Failure: "cannot remove {path}" (state_unavailable, cause
// attached).
Status remove_sparing_never_touch_at(const Dir& target, const std::string& relative);

}  // namespace velk
