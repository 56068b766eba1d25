#include "core/fs_at.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "core/progress.h"
#include "core/text.h"

namespace velk {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Plain read/write of the rest of `in` into `out`. Returns 0 or errno.
int copy_by_reading(int in, int out) {
  static thread_local char buffer[65536];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(in, buffer, sizeof buffer); });
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (const int e = write_all(out, std::string_view(buffer, static_cast<size_t>(n))); e != 0)
      return e;
  }
}

bool falls_back_from_range_copy(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF ||
         err == ETXTBSY || err == EPERM;
}

// The file system that refused a clone last: a file system that cannot
// clone one file cannot clone the next, so it is not asked again.
std::atomic<dev_t> g_no_clone_device{0};

// The bytes of `in` into the empty `out`: a copy-on-write clone where the
// file system offers one, an in-kernel range copy otherwise, and a plain
// read/write loop where neither works. Returns 0 or errno.
int copy_bytes(int in, int out, dev_t device) {
  if (g_no_clone_device.load(std::memory_order_relaxed) != device || device == 0) {
    if (::ioctl(out, FICLONE, in) == 0) return 0;
    if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EXDEV || errno == EINVAL)
      g_no_clone_device.store(device, std::memory_order_relaxed);
  }
  bool first = true;
  for (;;) {
    const ssize_t n = retry_eintr(
        [&] { return ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0); });
    if (n < 0) {
      if (first && falls_back_from_range_copy(errno)) return copy_by_reading(in, out);
      return errno;
    }
    if (n == 0) return 0;
    first = false;
  }
}

// One directory being emptied by remove_entry_at.
struct Level {
  DIR* dir = nullptr;  // null while closed to bound the descriptors open
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;  // its name in the level above
  int fd() const { return dir ? ::dirfd(dir) : -1; }
};

// Levels kept open at once; deeper ones are closed and found again through
// ".." (checked against the device and inode they had) on the way back up.
constexpr size_t kOpenLevels = 32;
// How often a directory that refilled while it was emptied is emptied again.
constexpr int kRefills = 8;

class TreeRemover {
 public:
  explicit TreeRemover(int root_fd) : root_fd_(root_fd) {}
  ~TreeRemover() {
    for (Level& level : levels_)
      if (level.dir) ::closedir(level.dir);
  }

  int remove(const std::string& name) {
    if (const int e = push(root_fd_, name); e != 0) return e == ENOENT ? 0 : e;
    while (!levels_.empty()) {
      errno = 0;
      const dirent* entry = ::readdir(levels_.back().dir);
      if (!entry) {
        if (errno != 0) return errno;
        if (const int e = pop(); e != 0) return e;
        continue;
      }
      if (is_dot_or_dotdot(entry->d_name)) continue;
      if (const int e = remove_child(entry->d_name, entry->d_type); e != 0) return e;
    }
    return 0;
  }

 private:
  // Opens `name` in `parent_fd` as the next level. ENOTDIR/ELOOP: it is not
  // (or no longer) a directory.
  int push(int parent_fd, const std::string& name) {
    const int fd = retry_eintr([&] { return ::openat(parent_fd, name.c_str(), kDirFlags); });
    if (fd < 0) return errno;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      const int e = errno;
      ::close(fd);
      return e;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      const int e = errno;
      ::close(fd);
      return e;
    }
    levels_.push_back(Level{dir, st.st_dev, st.st_ino, name});
    // Keep only the deepest levels open.
    if (levels_.size() > kOpenLevels) {
      Level& old = levels_[levels_.size() - kOpenLevels - 1];
      if (old.dir) {
        ::closedir(old.dir);
        old.dir = nullptr;
      }
    }
    return 0;
  }

  int remove_child(const char* name, unsigned char type) {
    const int parent = levels_.back().fd();
    if (type != DT_DIR && type != DT_UNKNOWN) {
      if (::unlinkat(parent, name, 0) == 0) {
        progress_file(0);
        return 0;
      }
      if (errno == ENOENT) return 0;
      if (errno != EISDIR && errno != EPERM) return errno;
      // Replaced by a directory since the listing: descend instead.
    }
    const int e = push(parent, name);
    if (e == 0 || e == ENOENT) return 0;
    if (e != ENOTDIR && e != ELOOP) return e;
    // A file, a link or anything else: unlinked, never followed.
    if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return 0;
    return errno;
  }

  // The deepest level is empty: close it and remove it from its parent.
  int pop() {
    Level done = levels_.back();
    levels_.pop_back();
    int parent = root_fd_;
    if (!levels_.empty()) {
      Level& up = levels_.back();
      if (!up.dir) {
        if (const int e = reopen_parent(done, up); e != 0) {
          ::closedir(done.dir);
          return e;
        }
      }
      parent = up.fd();
    }
    ::closedir(done.dir);
    if (::unlinkat(parent, done.name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
    if ((errno == ENOTEMPTY || errno == EEXIST) && refills_ < kRefills) {
      // Something was added while the directory was emptied: empty it again.
      ++refills_;
      const int e = push(parent, done.name);
      if (e == 0 || e == ENOENT) return 0;
      return e;
    }
    return errno;
  }

  // Finds a closed level again through ".." of the level below it; the
  // directory found must be the one that was left.
  int reopen_parent(const Level& child, Level& parent) {
    const int fd = retry_eintr([&] { return ::openat(child.fd(), "..", kDirFlags); });
    if (fd < 0) return errno;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_dev != parent.dev || st.st_ino != parent.ino) {
      ::close(fd);
      return ESTALE;  // the tree was moved while it was removed
    }
    parent.dir = ::fdopendir(fd);
    if (!parent.dir) {
      const int e = errno;
      ::close(fd);
      return e;
    }
    return 0;
  }

  int root_fd_;
  std::vector<Level> levels_;
  int refills_ = 0;
};

}  // namespace

std::optional<Owner> owner_for(const struct stat& directory) {
  if (directory.st_uid == ::geteuid()) return std::nullopt;
  return Owner{directory.st_uid, directory.st_gid};
}

int give_owner(int fd, const std::optional<Owner>& owner) {
  if (!owner) return 0;
  return ::fchown(fd, owner->uid, owner->gid) == 0 ? 0 : errno;
}

int open_directory(const std::string& path) {
  return retry_eintr([&] { return ::open(path.c_str(), kDirFlags); });
}

int open_directory_at(int dir_fd, const std::string& name) {
  return retry_eintr([&] { return ::openat(dir_fd, name.c_str(), kDirFlags); });
}

namespace {

// Set once the kernel has answered that it has no openat2.
std::atomic<bool> no_openat2{false};

// openat2 beneath `root_fd`, refusing every link; -1 with errno, and
// ENOSYS when the kernel does not have it.
int openat2_beneath(int root_fd, const std::string& relative, int flags) {
  if (no_openat2.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  open_how how{};
  how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  // EAGAIN: a rename elsewhere raced the lookup; it is tried again a
  // bounded number of times.
  for (int attempt = 0;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, root_fd, relative.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR || (errno == EAGAIN && attempt < 64)) continue;
    if (errno == ENOSYS) no_openat2.store(true, std::memory_order_relaxed);
    return -1;
  }
}

// The components of a relative path, or nullopt (errno EINVAL) for an
// absolute path or one with a ".." component.
std::optional<std::vector<std::string_view>> relative_components(std::string_view relative) {
  if (!relative.empty() && relative.front() == '/') {
    errno = EINVAL;
    return std::nullopt;
  }
  std::vector<std::string_view> parts = path_components(relative);
  for (const std::string_view part : parts) {
    if (part == "..") {
      errno = EINVAL;
      return std::nullopt;
    }
  }
  return parts;
}

int duplicate(int fd) { return retry_eintr([&] { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }); }

// Opens every component but the last as a directory, one at a time, never
// following a link; with `create` missing ones are made and given `owner`.
// Returns the descriptor of the directory that holds the last component.
int walk_to_parent(int root_fd, const std::vector<std::string_view>& parts, size_t count,
                   bool create, const std::optional<Owner>& owner) {
  int fd = duplicate(root_fd);
  if (fd < 0) return -1;
  for (size_t i = 0; i < count; ++i) {
    const std::string name(parts[i]);
    int next = open_directory_at(fd, name);
    if (next < 0 && errno == ENOENT && create) {
      if (::mkdirat(fd, name.c_str(), 0777) == 0) {
        next = open_directory_at(fd, name);
        if (next >= 0 && give_owner(next, owner) != 0) {
          const int e = errno;
          ::close(next);
          next = -1;
          errno = e;
        }
      } else if (errno == EEXIST) {
        next = open_directory_at(fd, name);
      }
    }
    const int e = errno;
    ::close(fd);
    if (next < 0) {
      errno = e;
      return -1;
    }
    fd = next;
  }
  return fd;
}

}  // namespace

int open_beneath(int root_fd, std::string_view relative, int flags) {
  const auto parts = relative_components(relative);
  if (!parts) return -1;
  if (parts->empty()) return duplicate(root_fd);
  std::string joined;
  for (const std::string_view part : *parts) {
    if (!joined.empty()) joined += '/';
    joined += part;
  }
  const int fd = openat2_beneath(root_fd, joined, flags | O_NOFOLLOW);
  if (fd >= 0 || errno != ENOSYS) return fd;
  Fd parent(walk_to_parent(root_fd, *parts, parts->size() - 1, false, std::nullopt));
  if (parent.get() < 0) return -1;
  const std::string last(parts->back());
  return retry_eintr(
      [&] { return ::openat(parent.get(), last.c_str(), flags | O_NOFOLLOW | O_CLOEXEC); });
}

int open_directory_beneath(int root_fd, std::string_view relative, bool create,
                           const std::optional<Owner>& owner) {
  if (!create) return open_beneath(root_fd, relative, O_RDONLY | O_DIRECTORY);
  const auto parts = relative_components(relative);
  if (!parts) return -1;
  // Most directories already exist: one call opens them.
  const int fd = open_beneath(root_fd, relative, O_RDONLY | O_DIRECTORY);
  if (fd >= 0 || errno != ENOENT) return fd;
  return walk_to_parent(root_fd, *parts, parts->size(), true, owner);
}

int remove_entry_at(int dir_fd, const std::string& name) {
  struct stat st;
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
    if (errno != EISDIR && errno != EPERM) return errno;
  }
  return TreeRemover(dir_fd).remove(name);
}

int remove_beneath(int root_fd, std::string_view relative) {
  const std::string parent = parent_path(relative);
  const std::string name = file_name(relative);
  if (name.empty() || name == "." || name == "..") return EINVAL;
  Fd dir(open_directory_beneath(root_fd, parent, false));
  if (dir.get() < 0) {
    // Nothing can be below a parent that is absent or is not a directory.
    if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return 0;
    return errno;
  }
  return remove_entry_at(dir.get(), name);
}

void remove_empty_parents(int root_fd, std::string_view relative, size_t keep_depth,
                          const std::function<bool(const std::string& dir)>& keep) {
  std::string dir = parent_path(relative);
  while (!dir.empty() && path_components(dir).size() > keep_depth) {
    if (keep && keep(dir)) return;
    Fd parent(open_directory_beneath(root_fd, parent_path(dir), false));
    if (parent.get() < 0) return;
    if (::unlinkat(parent.get(), file_name(dir).c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
      return;
    dir = parent_path(dir);
  }
}

Result<std::vector<std::string>> list_directory_at(int dir_fd, const std::string& display) {
  const int fd = retry_eintr([&] { return ::openat(dir_fd, ".", kDirFlags); });
  if (fd < 0) return system_error(ErrorKind::state_unavailable, "cannot list " + display, errno);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), &::closedir);
  if (!dir) {
    const int e = errno;
    ::close(fd);
    return system_error(ErrorKind::state_unavailable, "cannot list " + display, e);
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0)
        return system_error(ErrorKind::state_unavailable, "cannot read an entry of " + display,
                            errno);
      return names;
    }
    if (!is_dot_or_dotdot(entry->d_name)) names.emplace_back(entry->d_name);
  }
}

Result<std::string> read_file_at(int dir_fd, const std::string& name, std::string message,
                                 struct stat* st_out, uint64_t max_bytes) {
  const int fd = retry_eintr([&] {
    return ::openat(dir_fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  });
  if (fd < 0) return system_error(ErrorKind::state_unavailable, std::move(message), errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return system_error(ErrorKind::state_unavailable, std::move(message), e);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    Error error = system_error(ErrorKind::state_unavailable, std::move(message),
                               S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (!S_ISDIR(st.st_mode)) error.cause = "not a regular file";
    return error;
  }
  if (st_out) *st_out = st;
  return read_opened(fd, st, std::move(message), max_bytes);
}

int copy_file_at(int src_fd, const std::string& src_name, int dst_fd, const std::string& dst_name,
                 const std::optional<Owner>& owner, Fd* written) {
  Fd in(retry_eintr([&] {
    return ::openat(src_fd, src_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (in.get() < 0) return errno == ELOOP ? EINVAL : errno;
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  Fd out(retry_eintr([&] {
    return ::openat(dst_fd, dst_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
  }));
  if (out.get() < 0) return errno;
  int err = give_owner(out.get(), owner);
  if (err == 0) err = copy_bytes(in.get(), out.get(), st.st_dev);
  // Write-back starts now; the flush of the whole copy finds it done.
  if (err == 0) (void)::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  // The permission bits travel; set-user-ID, set-group-ID and sticky never do.
  if (err == 0 && ::fchmod(out.get(), st.st_mode & 0777) != 0) err = errno;
  if (err == 0) progress_file(static_cast<uint64_t>(st.st_size));
  if (err == 0 && written) {
    *written = std::move(out);
    return 0;
  }
  const int close_err = out.close();
  return err != 0 ? err : close_err;
}

Error copy_failure(const std::string& from, const std::string& to, int err) {
  if (err == EINVAL)
    return with_cause(ErrorKind::state_unavailable, "cannot copy " + from + " to " + to,
                      "not a regular file");
  return system_error(ErrorKind::state_unavailable, "cannot copy " + from + " to " + to, err);
}

int FlushQueue::add(Fd fd, bool directory) {
  held_.emplace_back(std::move(fd), directory);
  return held_.size() > depth_ ? flush_oldest() : 0;
}

int FlushQueue::flush_oldest() {
  Fd fd = std::move(held_.front().first);
  const bool directory = held_.front().second;
  held_.pop_front();
  const int r = retry_eintr([&] { return directory ? ::fsync(fd.get()) : ::fdatasync(fd.get()); });
  const int e = r == 0 ? fd.close() : errno;
  if (first_error_ == 0) first_error_ = e;
  return e;
}

int FlushQueue::finish() {
  while (!held_.empty()) (void)flush_oldest();
  return first_error_;
}

namespace {

class TreeCopier {
 public:
  explicit TreeCopier(const TreeCopyHooks& hooks) : hooks_(hooks) {}

  Status copy(int src_fd, const std::string& src, int dst_fd, const std::string& dst,
              const std::string& relative) {
    // A descriptor of its own for the listing, so src_fd stays usable.
    const int list_fd = retry_eintr([&] { return ::openat(src_fd, ".", kDirFlags); });
    if (list_fd < 0) return system_error(ErrorKind::state_unavailable, "cannot list " + src, errno);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(list_fd), &::closedir);
    if (!dir) {
      const int e = errno;
      ::close(list_fd);
      return system_error(ErrorKind::state_unavailable, "cannot list " + src, e);
    }
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (!entry) {
        if (errno != 0)
          return system_error(ErrorKind::state_unavailable, "cannot read an entry of " + src, errno);
        return {};
      }
      if (is_dot_or_dotdot(entry->d_name)) continue;
      VELK_TRY(copy_entry(src_fd, src, dst_fd, dst, relative, entry->d_name));
    }
  }

 private:
  Status copy_entry(int src_fd, const std::string& src, int dst_fd, const std::string& dst,
                    const std::string& relative, const std::string& name) {
    const std::string from = path_join(src, name);
    if (!is_valid_utf8(name))
      return make_error(ErrorKind::state_unavailable,
                        from + " has a name this kernel cannot represent");
    const std::string to = path_join(dst, name);
    const std::string inner = relative.empty() ? name : relative + "/" + name;
    if (hooks_.spare && hooks_.spare(inner)) return {};
    struct stat st;
    if (::fstatat(src_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return system_error(ErrorKind::state_unavailable, "cannot stat " + from, errno);
    if (S_ISLNK(st.st_mode))
      return make_error(ErrorKind::integrity_mismatch,
                        from + " is a symbolic link and is not captured");
    if (S_ISDIR(st.st_mode)) {
      Fd child(open_directory_at(src_fd, name));
      if (child.get() < 0) {
        if (errno == ELOOP)  // swapped for a link since it was looked at
          return make_error(ErrorKind::integrity_mismatch,
                            from + " is a symbolic link and is not captured");
        return system_error(ErrorKind::state_unavailable, "cannot list " + from, errno);
      }
      const bool made_now = ::mkdirat(dst_fd, name.c_str(), 0777) == 0;
      if (!made_now && errno != EEXIST)
        return system_error(ErrorKind::state_unavailable, "cannot create " + to, errno);
      Fd made(open_directory_at(dst_fd, name));
      if (made.get() < 0)
        return system_error(ErrorKind::state_unavailable, "cannot create " + to, errno);
      if (made_now)
        if (const int e = give_owner(made.get(), hooks_.owner); e != 0)
          return system_error(ErrorKind::state_unavailable, "cannot create " + to, e);
      VELK_TRY(copy(child.get(), from, made.get(), to, inner));
      if (hooks_.flush)
        if (const int e = hooks_.flush->add(std::move(made), true); e != 0)
          return system_error(ErrorKind::state_unavailable, "cannot flush " + to, e);
      return {};
    }
    Fd written;
    if (const int e = copy_file_at(src_fd, name, dst_fd, name, hooks_.owner,
                                   hooks_.flush ? &written : nullptr);
        e != 0) {
      return copy_failure(from, to, e);
    }
    if (hooks_.flush)
      if (const int e = hooks_.flush->add(std::move(written), false); e != 0)
        return system_error(ErrorKind::state_unavailable, "cannot flush " + to, e);
    if (hooks_.after_file) VELK_TRY(hooks_.after_file(dst_fd, name, inner));
    return {};
  }

  const TreeCopyHooks& hooks_;
};

}  // namespace

Status copy_tree_at(int src_fd, const std::string& src_display, int dst_fd,
                    const std::string& dst_display, const TreeCopyHooks& hooks) {
  return TreeCopier(hooks).copy(src_fd, src_display, dst_fd, dst_display, "");
}

int sync_directory_fd(int dir_fd) {
  return retry_eintr([&] { return ::fsync(dir_fd); }) == 0 ? 0 : errno;
}

int flush_tree_at(int dir_fd) {
  const auto names = list_directory_at(dir_fd, "");
  if (!names.ok()) return names.error().sys_errno ? names.error().sys_errno : EIO;
  int first = 0;
  for (const std::string& name : *names) {
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    int e = 0;
    if (S_ISDIR(st.st_mode)) {
      Fd child(open_directory_at(dir_fd, name));
      e = child.get() < 0 ? errno : flush_tree_at(child.get());
    } else if (S_ISREG(st.st_mode)) {
      Fd file(retry_eintr([&] {
        return ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      }));
      e = file.get() < 0 ? errno
                         : (retry_eintr([&] { return ::fdatasync(file.get()); }) == 0 ? 0 : errno);
    }
    if (first == 0 && e != 0 && e != ENOENT) first = e;
  }
  const int e = sync_directory_fd(dir_fd);
  return first != 0 ? first : e;
}

}  // namespace velk
