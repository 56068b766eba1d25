#include "protocol/apply_effects.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/atomic_write.h"
#include "core/fs.h"
#include "core/fs_at.h"

namespace velk {
namespace {

// Only the permission bits a bundle may declare reach the disk.
mode_t declared_mode(uint32_t mode) { return mode == 0755 ? 0755 : 0644; }

// The directory that receives a file, opened (and made where missing) one
// component at a time without following a link. The directory of the
// previous file is kept, since files arrive sorted and mostly share it; it
// is flushed when the writes move on, so every entry made is durable.
class ParentDirs {
 public:
  ParentDirs(int target_fd, const std::string& target) : target_fd_(target_fd), target_(target) {}
  ~ParentDirs() { (void)flush(); }

  Result<int> open(const std::string& relative) {
    const std::string dir = parent_path(relative);
    if (current_.get() >= 0 && dir == current_path_) return current_.get();
    VELK_TRY(flush());
    Fd fd(open_directory_beneath(target_fd_, dir, true));
    if (fd.get() < 0) {
      const int e = errno;
      if (e == ENOTDIR || e == ELOOP)
        return make_error(ErrorKind::unsupported_native_surface,
                          "cannot write " + path_join(target_, relative) + ": " +
                              blocking_component(dir) + " is not a directory");
      return system_error(ErrorKind::state_unavailable, "cannot create " + path_join(target_, dir),
                          e);
    }
    current_ = std::move(fd);
    current_path_ = dir;
    return current_.get();
  }

  Status flush() {
    if (current_.get() < 0) return {};
    const int e = sync_directory_fd(current_.get());
    current_ = Fd();
    if (e != 0)
      return system_error(ErrorKind::state_unavailable,
                          "cannot flush " + path_join(target_, current_path_), e);
    return {};
  }

 private:
  // The first component of `dir` that is not a directory, for the message.
  std::string blocking_component(const std::string& dir) const {
    std::string walked;
    for (const auto part : path_components(dir)) {
      walked = walked.empty() ? std::string(part) : walked + "/" + std::string(part);
      Fd fd(open_directory_beneath(target_fd_, walked, false));
      if (fd.get() < 0 && errno != ENOENT) return path_join(target_, walked);
    }
    return path_join(target_, dir);
  }

  int target_fd_;
  std::string target_;
  Fd current_;
  std::string current_path_;
};

}  // namespace

Status clear_owned(const PerformContext& context) {
  const std::string& target = context.store.target_path;
  for (const std::string& path : context.cleared) {
    VELK_TRY(remove_sparing_never_touch_at(context.target_fd, target, path));
    // Under user_root the directories this provider's files were written
    // into go as well once they are empty; the shared top ("skills") stays.
    if (context.scope == TargetScope::user_root) remove_empty_parents(context.target_fd, path, 1);
  }
  return {};
}

Status write_files(const PerformContext& context, const FileMap& files) {
  const std::string& target = context.store.target_path;
  ParentDirs dirs(context.target_fd, target);
  for (const auto& [relative, data] : files) {
    VELK_ASSIGN(const int dir, dirs.open(relative));
    VELK_TRY(replace_file_at(dir, file_name(relative), data.bytes, declared_mode(data.mode),
                             path_join(target, relative)));
  }
  return dirs.flush();
}

}  // namespace velk
