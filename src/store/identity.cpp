#include "store/identity.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/digest.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "core/text.h"
#include "product/declaration.h"

namespace velk {

std::vector<std::string> identity_exclusions() {
  const ProductDeclaration& d = declaration();
  std::vector<std::string> out{std::string(d.control_dir_name), std::string(d.state_file_name)};
  for (const auto p : d.never_touch) out.emplace_back(p);
  return out;
}

namespace {

// The surfaces that are measured: exclusions dropped, sorted, deduplicated,
// and only the outermost of nested ones kept, so nothing is counted twice.
std::vector<std::string> outermost_surfaces(const std::vector<std::string>& surfaces,
                                            const std::vector<std::string>& exclusions) {
  std::vector<std::string> kept;
  for (const auto& s : surfaces) {
    if (std::find(exclusions.begin(), exclusions.end(), s) == exclusions.end()) kept.push_back(s);
  }
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  std::vector<std::string> out;
  for (const auto& s : kept) {
    const bool nested = std::any_of(kept.begin(), kept.end(), [&](const std::string& other) {
      return s.size() > other.size() && starts_with(s, other) && s[other.size()] == '/';
    });
    if (!nested) out.push_back(s);
  }
  return out;
}

}  // namespace

Result<std::string> target_identity(const std::string& target,
                                    const std::vector<std::string>& surfaces) {
  const auto st = stat_path(target);
  if (!st || !S_ISDIR(st->st_mode))
    return make_error(ErrorKind::invalid_target, target + " is not a directory");

  const std::vector<std::string> exclusions = identity_exclusions();
  std::vector<TreeRecord> records;
  for (const auto& surface : outermost_surfaces(surfaces, exclusions)) {
    const std::string path = path_join(target, surface);
    VELK_ASSIGN(const auto found, lstat_retrying(path));
    if (!found) continue;
    VELK_ASSIGN(const auto record, entry_record(target, path));
    if (!record) continue;  // vanished between looking and recording
    const bool is_dir = record->kind == "dir";
    records.push_back(*record);
    if (is_dir) VELK_TRY(walk_tree(target, path, exclusions, records));
  }
  sort_records(records);
  return digest_records(records);
}

namespace {

Status collect_links(const std::string& path, const std::string& relative,
                     std::vector<std::string>& links) {
  int err = 0;
  const auto st = lstat_path(path, &err);
  if (!st) {
    if (err == 0) return {};  // not there: nothing to check
    return system_error(ErrorKind::state_unavailable, "cannot stat " + path, err);
  }
  if (S_ISLNK(st->st_mode)) {
    links.push_back(relative);
    return {};
  }
  if (!S_ISDIR(st->st_mode)) return {};
  VELK_ASSIGN(const auto names, list_directory(path));
  for (const auto& name : names)
    VELK_TRY(collect_links(path_join(path, name), relative + "/" + lossy_utf8(name), links));
  return {};
}

}  // namespace

Result<std::vector<std::string>> find_owned_links(const std::string& target,
                                                  const std::vector<std::string>& surfaces) {
  std::vector<std::string> links;
  for (const auto& surface : surfaces)
    VELK_TRY(collect_links(path_join(target, surface), surface, links));
  std::sort(links.begin(), links.end());
  // A surface named twice, or one inside another, is reported once.
  links.erase(std::unique(links.begin(), links.end()), links.end());
  return links;
}

Status copy_tree(const std::string& source, const std::string& destination) {
  if (const int e = create_directories(destination); e != 0)
    return system_error(ErrorKind::state_unavailable, "cannot create " + destination, e);
  Fd from(open_directory(source));
  if (from.get() < 0) return system_error(ErrorKind::state_unavailable, "cannot list " + source, errno);
  Fd to(open_directory(destination));
  if (to.get() < 0)
    return system_error(ErrorKind::state_unavailable, "cannot create " + destination, errno);
  return copy_tree_at(from.get(), source, to.get(), destination);
}

Error owned_links_refusal(const std::vector<std::string>& links) {
  return make_error(ErrorKind::unsupported_native_surface,
                    "a backup captures content, and these owned paths are links rather than "
                    "content: " +
                        join(links, ", ") +
                        ". Nothing has been changed. Replace them with what they point at, or "
                        "move them out of the namespaces this provider owns.");
}

}  // namespace velk
