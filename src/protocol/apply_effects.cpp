#include "protocol/apply_effects.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "core/atomic_write.h"
#include "core/fs.h"

namespace velk {
namespace {

// Only the permission bits a bundle may declare reach the disk.
mode_t declared_mode(uint32_t mode) { return mode == 0755 ? 0755 : 0644; }

Status set_mode(const std::string& path, mode_t mode) {
  const int fd = retry_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC); });
  int err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (::fchmod(fd, mode) != 0) err = errno;
    ::close(fd);
  }
  if (err != 0)
    return system_error(ErrorKind::state_unavailable, "cannot set the mode of " + path, err);
  return {};
}

// Makes the directories above `relative` inside the target, one component
// at a time and without following a link; `made` remembers the ones known
// to be directories already.
Status make_parents(const std::string& target, const std::string& relative,
                    std::set<std::string>& made) {
  const std::vector<std::string> segments = split_path(relative);
  std::string dir = target;
  for (size_t i = 0; i + 1 < segments.size(); ++i) {
    dir = path_join(dir, segments[i]);
    if (made.count(dir)) continue;
    int err = 0;
    const auto st = lstat_path(dir, &err);
    if (!st && err != 0)
      return system_error(ErrorKind::state_unavailable, "cannot stat " + dir, err);
    if (!st) {
      if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return system_error(ErrorKind::state_unavailable, "cannot create " + dir, errno);
      const auto again = lstat_path(dir);
      if (!again || !S_ISDIR(again->st_mode))
        return make_error(ErrorKind::state_unavailable,
                          "cannot create " + dir + ": something else appeared there");
    } else if (!S_ISDIR(st->st_mode)) {
      return make_error(ErrorKind::unsupported_native_surface,
                        "cannot write " + path_join(target, relative) + ": " + dir +
                            " is not a directory");
    }
    made.insert(dir);
  }
  return {};
}

}  // namespace

Status clear_owned(const PerformContext& context) {
  const std::string& target = context.store.target_path;
  for (const std::string& path : context.surfaces)
    VELK_TRY(remove_sparing_never_touch(target, path_join(target, path)));
  return {};
}

Status write_files(const std::string& target, const FileMap& files) {
  std::set<std::string> made;
  for (const auto& [relative, data] : files) {
    VELK_TRY(make_parents(target, relative, made));
    const std::string path = path_join(target, relative);
    VELK_TRY(write_file_atomically(path, data.bytes));
    VELK_TRY(set_mode(path, declared_mode(data.mode)));
  }
  return {};
}

}  // namespace velk
