#include "store/identity.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "core/digest.h"
#include "core/dir.h"
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

namespace {

// The directory that holds `surface`, reached beneath the target without
// following a link; an invalid Dir when it is absent, not a directory or a
// link (nothing of the surface can be reached then).
Result<Dir> surface_parent(const Dir& target, const std::string& surface) {
  auto parent = target.open(parent_path(surface));
  if (parent.ok()) return std::move(parent).value();
  const int e = parent.error();
  if (e == ENOENT || e == ENOTDIR || e == ELOOP) return Dir();
  return system_error(ErrorKind::state_unavailable, "cannot stat " + target.below(surface), e);
}

}  // namespace

Result<std::string> target_identity(const Dir& target, const std::vector<std::string>& surfaces,
                                    bool flush) {
  const std::vector<std::string> exclusions = identity_exclusions();
  std::vector<TreeRecord> records;
  for (const auto& surface : outermost_surfaces(surfaces, exclusions)) {
    VELK_ASSIGN(const Dir parent, surface_parent(target, surface));
    if (!parent.valid()) continue;
    const std::string name = file_name(surface);
    const std::string display = target.below(surface);
    VELK_ASSIGN(const auto record, entry_record_at(parent.fd(), name, surface, display, flush));
    if (!record) continue;  // absent, or vanished between looking and recording
    records.push_back(*record);
    if (record->kind != "dir") continue;
    auto below = parent.open(name);
    if (!below.ok()) {
      if (below.error() == ENOENT) continue;  // gone since it was recorded
      return system_error(ErrorKind::state_unavailable, "cannot list " + display, below.error());
    }
    VELK_TRY(walk_tree_at(below->fd(), display, surface, records, {}, flush));
  }
  if (flush)
    if (const int e = target.sync(); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot flush " + target.path(), e);
  sort_records(records);
  return digest_records(records);
}

namespace {

Status collect_links(int dir_fd, const std::string& name, const std::string& display,
                     const std::string& relative, std::vector<std::string>& links) {
  struct stat st;
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return {};  // not there: nothing to check
    return system_error(ErrorKind::state_unavailable, "cannot stat " + display, errno);
  }
  if (S_ISLNK(st.st_mode)) {
    links.push_back(relative);
    return {};
  }
  if (!S_ISDIR(st.st_mode)) return {};
  Fd dir(open_directory_at(dir_fd, name));
  if (dir.get() < 0) {
    if (errno == ELOOP) {  // swapped for a link since it was looked at
      links.push_back(relative);
      return {};
    }
    return system_error(ErrorKind::state_unavailable, "cannot list " + display, errno);
  }
  VELK_ASSIGN(const auto names, list_directory_at(dir.get(), display));
  for (const auto& entry : names)
    VELK_TRY(collect_links(dir.get(), entry, path_join(display, entry),
                           relative + "/" + lossy_utf8(entry), links));
  return {};
}

}  // namespace

Result<std::vector<std::string>> find_owned_links(const Dir& target,
                                                  const std::vector<std::string>& surfaces) {
  std::vector<std::string> links;
  for (const auto& surface : surfaces) {
    auto parent = target.open(parent_path(surface));
    if (!parent.ok()) {
      // A link in the way of a nested surface is a link at its place.
      if (parent.error() == ELOOP) links.push_back(surface);
      if (parent.error() == ENOENT || parent.error() == ENOTDIR || parent.error() == ELOOP) continue;
      return system_error(ErrorKind::state_unavailable, "cannot stat " + target.below(surface),
                          parent.error());
    }
    VELK_TRY(collect_links(parent->fd(), file_name(surface), target.below(surface), surface, links));
  }
  std::sort(links.begin(), links.end());
  // A surface named twice, or one inside another, is reported once.
  links.erase(std::unique(links.begin(), links.end()), links.end());
  return links;
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
