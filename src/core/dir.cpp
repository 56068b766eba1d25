#include "core/dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/atomic_write.h"

namespace velk {

Result<Dir, int> Dir::open_root(const std::string& path) {
  const int fd = open_directory(path);
  if (fd < 0) return errno;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return e;
  }
  return Dir(fd, path, owner_for(st));
}

Result<Dir, int> Dir::open(std::string_view relative) const {
  const int fd = open_directory_beneath(this->fd(), relative, false);
  if (fd < 0) return errno;
  return Dir(fd, below(relative), owner_);
}

Result<Dir, int> Dir::open_or_make(std::string_view relative, mode_t mode) const {
  int fd = -1;
  if (mode == 0777) {
    fd = open_directory_beneath(this->fd(), relative, true, owner_);
  } else {
    // A mode of its own applies to the last component only.
    const std::string parent = parent_path(relative);
    auto above = open_or_make(parent);
    if (!above.ok()) return above.error();
    auto made = above->make(file_name(relative), mode);
    if (made.ok() || made.error() != EEXIST) return made;
    fd = open_directory_beneath(above->fd(), file_name(relative), false);
  }
  if (fd < 0) return errno;
  return Dir(fd, below(relative), owner_);
}

Result<Dir, int> Dir::make(const std::string& name, mode_t mode) const {
  if (::mkdirat(fd(), name.c_str(), mode) != 0) return errno;
  const int fd = open_directory_at(this->fd(), name);
  if (fd < 0) return errno;
  Dir made(fd, below(name), owner_);
  if (const int e = made.own(fd); e != 0) return e;
  return made;
}

std::optional<struct stat> Dir::stat(std::string_view relative, int* err) const {
  if (err) *err = 0;
  const std::string parent = parent_path(relative);
  const std::string name = file_name(relative);
  Fd holder;
  int dir_fd = fd();
  if (!parent.empty()) {
    holder = Fd(open_directory_beneath(dir_fd, parent, false));
    if (holder.get() < 0) {
      if (errno != ENOENT && errno != ENOTDIR && err) *err = errno;
      return std::nullopt;
    }
    dir_fd = holder.get();
  }
  struct stat st;
  if (::fstatat(dir_fd, name.empty() ? "." : name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT && errno != ENOTDIR && err) *err = errno;
    return std::nullopt;
  }
  return st;
}

Result<std::vector<std::string>> Dir::list() const { return list_directory_at(fd(), path_); }

Result<std::string> Dir::read(std::string_view relative, std::string message, uint64_t max_bytes,
                              struct stat* st) const {
  const std::string parent = parent_path(relative);
  if (parent.empty()) return read_file_at(fd(), std::string(relative), std::move(message), st, max_bytes);
  Fd dir(open_directory_beneath(fd(), parent, false));
  if (dir.get() < 0) return system_error(ErrorKind::state_unavailable, std::move(message), errno);
  return read_file_at(dir.get(), file_name(relative), std::move(message), st, max_bytes);
}

Status Dir::write(const std::string& name, std::string_view bytes) const {
  return write_file_atomically_at(fd(), path_, name, bytes, owner_);
}

int Dir::rename(const std::string& from, const std::string& to) const {
  return ::renameat(fd(), from.c_str(), fd(), to.c_str()) == 0 ? 0 : errno;
}

int Dir::move_to(const std::string& from, const Dir& to_dir, const std::string& to) const {
  return ::renameat(fd(), from.c_str(), to_dir.fd(), to.c_str()) == 0 ? 0 : errno;
}

int Dir::unlink(const std::string& name) const {
  return ::unlinkat(fd(), name.c_str(), 0) == 0 ? 0 : errno;
}

int Dir::remove(std::string_view relative) const { return remove_beneath(fd(), relative); }

int Dir::sync() const { return sync_directory_fd(fd()); }

}  // namespace velk
