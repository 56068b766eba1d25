#include "product/write_rule.h"

#include <algorithm>

#include "core/fs.h"
#include "core/text.h"

namespace velk {
namespace {

bool lies_in(std::string_view path, std::string_view surface) {
  return path == surface ||
         (path.size() > surface.size() && starts_with(path, surface) && path[surface.size()] == '/');
}

std::optional<std::string> structural_refusal(std::string_view path) {
  if (path.empty()) return "is empty";
  if (!is_valid_utf8(path)) return "is not valid UTF-8";
  if (path.front() == '/' || path.front() == '\\' || path.front() == '~') return "is not relative";
  if (path.size() >= 2 && path[1] == ':') return "carries a drive letter";
  if (path.find('\\') != std::string_view::npos) return "uses a backslash separator";
  if (std::any_of(path.begin(), path.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
    return "contains a control character";
  for (const std::string& segment : split_path(path)) {
    if (segment == "..") return "climbs out of the target";
    if (segment.empty() || segment == ".") return "has an empty or bare-dot segment";
  }
  return std::nullopt;
}

}  // namespace

std::optional<WriteRefusal> write_refusal(std::string_view path, std::optional<TargetScope> scope) {
  const ProductDeclaration& d = declaration();
  using Why = WriteRefusal::Why;
  if (scope == TargetScope::user_root) {
    const auto& namespaces = d.user_root_profile.native_namespaces;
    if (std::none_of(namespaces.begin(), namespaces.end(), [&](const std::string& ns) {
          return path != ns && lies_in(path, ns);
        }))
      return WriteRefusal{Why::outside_surface, {}};
  } else if (std::none_of(d.owned_surfaces.begin(), d.owned_surfaces.end(),
                          [&](const OwnedSurface& s) { return lies_in(path, s.path); })) {
    return WriteRefusal{Why::outside_surface, {}};
  }
  const std::string folded = unicode_lower(path);
  for (const std::string_view never : d.never_touch) {
    if (lies_in(folded, never)) return WriteRefusal{Why::never_touch, never};
    if (lies_in(never, folded)) return WriteRefusal{Why::holds_never_touch, never};
  }
  return std::nullopt;
}

std::optional<std::string> recorded_path_refusal(std::string_view path,
                                                 std::optional<TargetScope> scope) {
  if (auto broken = structural_refusal(path)) return broken;
  const auto refused = write_refusal(path, scope);
  if (!refused) return std::nullopt;
  const ProductDeclaration& d = declaration();
  const std::string provider(d.provider_id);
  if (refused->why == WriteRefusal::Why::outside_surface) {
    if (scope == TargetScope::user_root)
      return "lies outside " + join(d.user_root_profile.native_namespaces, ", ") +
             ", below which " + provider + " writes under target_scope " +
             std::string(scope_name(TargetScope::user_root));
    return "lies outside the entries " + provider + " owns";
  }
  return "meets " + quoted_form(refused->never_touch) + ", which belongs to the product and which " +
         provider + " never touches";
}

}  // namespace velk
