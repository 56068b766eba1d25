// Putting a slot's payload back over the owned surfaces of a target.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "core/text.h"
#include "product/declaration.h"
#include "store/pool.h"
#include "store/tree_copy.h"

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
Status read_back(const std::string& path) {
  const std::string message = "cannot read " + path + " back";
  const int fd = retry_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0) return system_error(ErrorKind::state_unavailable, message, errno);
  static thread_local char buffer[65536];
  int err = 0;
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) err = errno;
    if (n <= 0) break;
  }
  ::close(fd);
  if (err != 0) return system_error(ErrorKind::state_unavailable, message, err);
  return {};
}

// Gives a file written through write_file_atomically the permission bits it
// had in the payload (the atomic write creates it with the default mode).
Status set_mode(const std::string& path, mode_t mode) {
  const int fd = retry_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC); });
  int err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (::fchmod(fd, mode & 07777) != 0) err = errno;
    ::close(fd);
  }
  if (err != 0)
    return system_error(ErrorKind::state_unavailable, "cannot set the mode of " + path, err);
  return {};
}

class Restorer {
 public:
  Restorer(const std::string& target, const std::string& payload)
      : target_(target), payload_(payload) {
    for (const auto p : declaration().never_touch) spared_.push_back(path_join(target, p));
  }

  // Puts the payload's entry at `relative` back at the same place in the
  // target; an entry the payload does not hold is skipped.
  Status restore(const std::string& relative) {
    const std::string from = path_join(payload_, relative);
    const std::string to = path_join(target_, relative);
    int err = 0;
    const auto st = lstat_path(from, &err);
    if (!st) {
      if (err == 0) return {};
      return system_error(ErrorKind::state_unavailable, "cannot stat " + from, err);
    }
    if (contains(spared_, to)) return {};
    if (S_ISDIR(st->st_mode)) return restore_directory(from, to, relative);
    if (S_ISLNK(st->st_mode))
      return make_error(ErrorKind::integrity_mismatch,
                        from + " is a symbolic link and is not captured");
    return restore_file(from, to, relative, st->st_mode);
  }

  std::vector<std::string> take_restored() { return std::move(restored_); }

 private:
  Status restore_directory(const std::string& from, const std::string& to,
                           const std::string& relative) {
    std::vector<std::string> written;
    VELK_TRY(copy_tree_with(from, to, TreeCopyOptions{spared_, &written}));
    for (const auto& path : written) {
      VELK_TRY(read_back(path));
      restored_.push_back(relative + path.substr(to.size()));
    }
    return {};
  }

  Status restore_file(const std::string& from, const std::string& to, const std::string& relative,
                      mode_t mode) {
    VELK_ASSIGN(const std::string bytes, read_file(from, "cannot read " + from));
    const std::string parent = parent_path(to);
    if (const int e = create_directories(parent); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot create " + parent, e);
    VELK_TRY(write_file_atomically(to, bytes));
    VELK_TRY(set_mode(to, mode));
    restored_.push_back(relative);
    return {};
  }

  std::string target_;
  std::string payload_;
  std::vector<std::string> spared_;
  std::vector<std::string> restored_;
};

}  // namespace

Result<std::vector<std::string>> restore_payload(const std::string& target,
                                                 const std::string& payload,
                                                 std::optional<TargetScope> scope,
                                                 const std::vector<std::string>& user_root_paths) {
  Restorer restorer(target, payload);
  if (scope == TargetScope::user_root) {
    for (const auto& path : user_root_paths)
      VELK_TRY(remove_sparing_never_touch(target, path_join(target, path)));
    VELK_ASSIGN(const auto names, list_directory(payload));
    for (const auto& name : names) {
      if (!is_valid_utf8(name))
        return make_error(ErrorKind::state_unavailable,
                          path_join(payload, name) + " has a name this kernel cannot represent");
      VELK_TRY(restorer.restore(name));
    }
    return restorer.take_restored();
  }

  const ProductDeclaration& d = declaration();
  const std::vector<std::string> surfaces = d.owned_paths();
  for (const auto& surface : surfaces)
    VELK_TRY(remove_sparing_never_touch(target, path_join(target, surface)));
  for (const auto& surface : surfaces) {
    const bool kindless = std::find(d.kindless_surfaces.begin(), d.kindless_surfaces.end(),
                                    surface) != d.kindless_surfaces.end();
    if (kindless && !lstat_path(path_join(payload, surface))) continue;
    VELK_TRY(check_restorable(surface));
    VELK_TRY(restorer.restore(surface));
  }
  return restorer.take_restored();
}

}  // namespace velk
