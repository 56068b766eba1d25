#include "protocol/apply_effects.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/atomic_write.h"
#include "core/dir.h"
#include "core/interrupt.h"
#include "core/progress.h"
#include "core/fs.h"
#include "core/fs_at.h"

namespace velk {
namespace {

// Only the permission bits a bundle may declare reach the disk.
mode_t declared_mode(uint32_t mode) { return mode == 0755 ? 0755 : 0644; }

// The directory that receives a file, opened (and made where missing)
// without following a link. The directory of the previous file is kept,
// since files arrive sorted and mostly share it. Nothing is flushed here:
// the walk that measures the target after the effects flushes every file
// and directory before the change records them.
class ParentDirs {
 public:
  explicit ParentDirs(const Dir& target) : target_(target) {}
  Result<const Dir*> open(const std::string& relative) {
    const std::string dir = parent_path(relative);
    if (current_.valid() && dir == current_path_) return &current_;
    auto opened = target_.open_or_make(dir);
    if (!opened.ok()) {
      const int e = opened.error();
      if (e == ENOTDIR || e == ELOOP)
        return make_error(ErrorKind::unsupported_native_surface,
                          "cannot write " + target_.below(relative) + ": " +
                              blocking_component(dir) + " is not a directory");
      return system_error(ErrorKind::state_unavailable, "cannot create " + target_.below(dir), e);
    }
    current_ = std::move(opened).value();
    current_path_ = dir;
    return &current_;
  }

 private:
  // The first component of `dir` that is not a directory, for the message.
  std::string blocking_component(const std::string& dir) const {
    std::string walked;
    for (const auto part : path_components(dir)) {
      walked = walked.empty() ? std::string(part) : walked + "/" + std::string(part);
      auto opened = target_.open(walked);
      if (!opened.ok() && opened.error() != ENOENT) return target_.below(walked);
    }
    return target_.below(dir);
  }

  const Dir& target_;
  Dir current_;
  std::string current_path_;
};

}  // namespace

Status clear_owned(const PerformContext& context) {
  const Dir& target = context.store.target;
  progress_phase(Phase::clearing);
  for (const std::string& path : context.cleared) {
    if (stop_requested()) return stopped_for_recovery_error();
    VELK_TRY(remove_sparing_never_touch_at(target, path));
    // Under user_root the directories this provider's files were written
    // into go as well once they are empty; the shared top ("skills") stays.
    if (context.scope == TargetScope::user_root) remove_empty_parents(target.fd(), path, 1);
  }
  return {};
}

Status write_files(const PerformContext& context, const FileMap& files) {
  const Dir& target = context.store.target;
  uint64_t bytes = 0;
  for (const auto& [relative, data] : files) bytes += data.bytes.size();
  progress_phase(Phase::writing, files.size(), bytes);
  ParentDirs dirs(target);
  for (const auto& [relative, data] : files) {
    if (stop_requested()) return stopped_for_recovery_error();
    VELK_ASSIGN(const Dir* dir, dirs.open(relative));
    VELK_TRY(replace_file_at(dir->fd(), file_name(relative), data.bytes, declared_mode(data.mode),
                             target.below(relative), target.owner()));
  }
  return {};
}

}  // namespace velk
