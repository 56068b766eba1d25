// Putting a slot's payload back over the owned surfaces of a target. Every
// write and removal is made relative to descriptors opened without following
// links, in the target and in the payload alike.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/atomic_write.h"
#include "core/dir.h"
#include "core/interrupt.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "core/text.h"
#include "product/declaration.h"
#include "store/pool.h"

namespace velk {

namespace {

constexpr std::string_view kCredentialPatterns[] = {
    "credentials", ".credentials.json", "auth.json", ".netrc", "id_rsa",
    "id_ed25519",  ".pem",              ".p12",      "secrets"};

bool contains(const std::vector<std::string>& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// A surface that is itself a never-touch path or is named like a credential
// is never written by a restore.
Status check_restorable(const std::string& surface) {
  if (contains(declaration().never_touch_paths(), surface))
    return make_error(ErrorKind::unsupported_native_surface,
                      surface + " is a path this provider never touches, so no restore writes it");
  const std::string lower = unicode_lower(surface);
  for (const auto pattern : kCredentialPatterns) {
    if (lower.find(pattern) != std::string::npos)
      return make_error(ErrorKind::unsupported_native_surface,
                        surface + " is named like a credential and is refused by name");
  }
  return {};
}

// Reads a restored file through once, so a restore that reports a path has
// seen it readable in the target.
Status read_back(int dir_fd, const std::string& name, const std::string& path) {
  const std::string message = "cannot read " + path + " back";
  Fd fd(retry_eintr([&] {
    return ::openat(dir_fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (fd.get() < 0) return system_error(ErrorKind::state_unavailable, message, errno);
  static thread_local char buffer[65536];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) return system_error(ErrorKind::state_unavailable, message, errno);
    if (n == 0) return {};
  }
}

// What the payload holds at a relative path, looked at without following a
// link anywhere on the way.
struct PayloadEntry {
  Fd parent{-1};  // the payload directory that holds it
  std::string name;
  struct stat st {};
  bool present = false;
};

class Restorer {
 public:
  Restorer(const Dir& target, const Dir& payload)
      : target_(target),
        target_fd_(target.fd()),
        payload_fd_(payload.fd()),
        payload_(payload.path()) {
    for (const auto p : declaration().never_touch) spared_.emplace_back(p);
  }

  Result<PayloadEntry> look(const std::string& relative) {
    PayloadEntry entry;
    entry.name = file_name(relative);
    entry.parent = Fd(open_directory_beneath(payload_fd_, parent_path(relative), false));
    if (entry.parent.get() < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return entry;
      if (errno == ELOOP)
        return make_error(ErrorKind::integrity_mismatch,
                          path_join(payload_, parent_path(relative)) +
                              " is a symbolic link and is not captured");
      return system_error(ErrorKind::state_unavailable,
                          "cannot stat " + path_join(payload_, relative), errno);
    }
    if (::fstatat(entry.parent.get(), entry.name.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return entry;
      return system_error(ErrorKind::state_unavailable,
                          "cannot stat " + path_join(payload_, relative), errno);
    }
    if (S_ISLNK(entry.st.st_mode))
      return make_error(ErrorKind::integrity_mismatch,
                        path_join(payload_, relative) + " is a symbolic link and is not captured");
    entry.present = true;
    return entry;
  }

  // Puts the payload's entry at `relative` back at the same place in the
  // target; an entry the payload does not hold is skipped.
  Status restore(const std::string& relative) {
    VELK_ASSIGN(PayloadEntry entry, look(relative));
    if (!entry.present || contains(spared_, relative)) return {};
    if (S_ISDIR(entry.st.st_mode)) return restore_directory(entry, relative);
    return restore_file(entry, relative);
  }

  // Under user_root: the path goes back as the payload holds it, or goes
  // away when the payload does not hold it. A directory the payload holds
  // where the target still has one was never this provider's to write: it
  // is left as it is.
  Status put_back_or_remove(const std::string& relative) {
    VELK_ASSIGN(PayloadEntry entry, look(relative));
    if (!entry.present) {
      VELK_TRY(remove(relative));
      // Directories made after the capture, and left empty now, go too: the
      // root then has the shape the payload recorded.
      remove_empty_parents(target_fd_, relative, 0, [&](const std::string& dir) {
        auto held = look(dir);
        return !held.ok() || held->present;
      });
      return {};
    }
    if (S_ISDIR(entry.st.st_mode)) {
      if (target_kind(relative) == S_IFDIR) return {};
      VELK_TRY(remove(relative));
      return restore_directory(entry, relative);
    }
    if (target_kind(relative) == S_IFDIR) VELK_TRY(remove(relative));
    return restore_file(entry, relative);
  }

  // A change killed while it wrote a file leaves the file's staging copy
  // beside it, under a name of its own that no record names. In the
  // directories this provider's paths live in, such a copy that the payload
  // does not hold goes, and then the directories it leaves empty that the
  // payload does not hold either.
  Status clear_staging_leftovers(const std::vector<std::string>& paths) {
    std::vector<std::string> dirs;
    for (const auto& path : paths) dirs.push_back(parent_path(path));
    std::sort(dirs.begin(), dirs.end());
    dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
    for (const auto& dir : dirs) {
      Fd fd(open_directory_beneath(target_fd_, dir, false));
      if (fd.get() < 0) continue;  // absent, or no directory of ours
      VELK_ASSIGN(const auto names, list_directory_at(fd.get(), target_.below(dir)));
      for (const auto& name : names) {
        if (!is_fresh_staging_name(name)) continue;
        const std::string relative = dir.empty() ? name : dir + "/" + name;
        VELK_ASSIGN(const PayloadEntry held, look(relative));
        if (held.present) continue;
        VELK_TRY(remove(relative));
        remove_empty_parents(target_fd_, relative, 0, [&](const std::string& d) {
          auto kept = look(d);
          return !kept.ok() || kept->present;
        });
      }
    }
    return {};
  }

  std::vector<std::string> take_restored() { return std::move(restored_); }

 private:
  // The file type at a target path (0 when absent or unreachable without
  // following a link).
  mode_t target_kind(const std::string& relative) {
    Fd parent(open_directory_beneath(target_fd_, parent_path(relative), false));
    if (parent.get() < 0) return 0;
    struct stat st;
    if (::fstatat(parent.get(), file_name(relative).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    return st.st_mode & S_IFMT;
  }

  Status remove(const std::string& relative) {
    if (const int e = target_.remove(relative); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot remove " + target_.below(relative),
                          e);
    return {};
  }

  // The target directory that receives `relative`, made as needed; a link or
  // a file in the way stops the restore.
  Result<Dir> target_dir(const std::string& relative) {
    auto dir = target_.open_or_make(relative);
    if (!dir.ok())
      return system_error(ErrorKind::state_unavailable, "cannot create " + target_.below(relative),
                          dir.error());
    return std::move(dir).value();
  }

  Status restore_directory(const PayloadEntry& entry, const std::string& relative) {
    Fd from(open_directory_at(entry.parent.get(), entry.name));
    if (from.get() < 0)
      return system_error(ErrorKind::state_unavailable, "cannot list " + path_join(payload_, relative),
                          errno);
    VELK_ASSIGN(const Dir to, target_dir(relative));
    const std::string to_path = to.path();
    TreeCopyHooks hooks;
    hooks.owner = target_.owner();
    hooks.spare = [&](const std::string& inner) {
      return contains(spared_, relative + "/" + inner);
    };
    hooks.after_file = [&](int dir_fd, const std::string& name, const std::string& inner) -> Status {
      if (stop_requested()) return stopped_for_recovery_error();
      VELK_TRY(read_back(dir_fd, name, path_join(to_path, inner)));
      restored_.push_back(relative + "/" + inner);
      return {};
    };
    return copy_tree_at(from.get(), path_join(payload_, relative), to.fd(), to_path, hooks);
  }

  Status restore_file(const PayloadEntry& entry, const std::string& relative) {
    const std::string from = path_join(payload_, relative);
    struct stat st;
    VELK_ASSIGN(const std::string bytes,
                read_file_at(entry.parent.get(), entry.name, "cannot read " + from, &st));
    VELK_ASSIGN(const Dir dir, target_dir(parent_path(relative)));
    // The permission bits travel; set-user-ID, set-group-ID and sticky never do.
    VELK_TRY(replace_file_at(dir.fd(), entry.name, bytes, st.st_mode & 0777,
                             target_.below(relative), target_.owner()));
    restored_.push_back(relative);
    return {};
  }

  const Dir& target_;
  int target_fd_;
  int payload_fd_;
  std::string payload_;
  std::vector<std::string> spared_;
  std::vector<std::string> restored_;
};

}  // namespace

Result<std::vector<std::string>> restore_payload(const Dir& target, const Dir& payload,
                                                 std::optional<TargetScope> scope,
                                                 const std::vector<std::string>& user_root_paths) {
  Restorer restorer(target, payload);
  if (scope == TargetScope::user_root) {
    std::vector<std::string> paths = user_root_paths;
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    for (const auto& path : paths) {
      if (stop_requested()) return stopped_for_recovery_error();
      VELK_TRY(restorer.put_back_or_remove(path));
    }
    VELK_TRY(restorer.clear_staging_leftovers(paths));
    return restorer.take_restored();
  }

  const ProductDeclaration& d = declaration();
  const std::vector<std::string> surfaces = d.owned_paths();
  for (const auto& surface : surfaces) {
    if (stop_requested()) return stopped_for_recovery_error();
    VELK_TRY(remove_sparing_never_touch_at(target, surface));
  }
  for (const auto& surface : surfaces) {
    if (stop_requested()) return stopped_for_recovery_error();
    const bool kindless = std::find(d.kindless_surfaces.begin(), d.kindless_surfaces.end(),
                                    surface) != d.kindless_surfaces.end();
    if (kindless) {
      VELK_ASSIGN(const PayloadEntry entry, restorer.look(surface));
      if (!entry.present) continue;
    }
    VELK_TRY(check_restorable(surface));
    VELK_TRY(restorer.restore(surface));
  }
  // The staging copy of a top-level file (AGENTS.md, config.toml, ...) a
  // killed write left sits at the target's top, outside every surface.
  VELK_TRY(restorer.clear_staging_leftovers(surfaces));
  return restorer.take_restored();
}

}  // namespace velk
