#include "core/atomic_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/fs.h"
#include "core/text.h"

namespace velk {

namespace {

Error store_error(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

// Writes the bytes into a fresh staging file and flushes them. Returns 0 or
// the errno of the first failure; the file is closed either way.
int stage(int dir_fd, const std::string& staging, std::string_view bytes) {
  // O_NOFOLLOW: a leftover link at the staging name must not redirect the
  // write. O_NONBLOCK: a leftover FIFO must not make the write wait.
  const int fd = retry_eintr([&] {
    return ::openat(dir_fd, staging.c_str(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  });
  if (fd < 0) return errno;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return e;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return EINVAL;
  }
  if (const int e = write_all(fd, bytes); e != 0) {
    ::close(fd);
    return e;
  }
  // fsync rather than fdatasync: the size and the rest of the metadata must
  // be durable before the rename makes the file visible under its name.
  if (retry_eintr([&] { return ::fsync(fd); }) != 0) {
    const int e = errno;
    ::close(fd);
    return e;
  }
  if (::close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

// Stages the bytes beside `name` in `dir_fd` and renames them over it;
// `destination` names the result in messages.
Status write_in(int dir_fd, const std::string& dir_display, const std::string& name,
                std::string_view bytes, const std::string& destination) {
  const std::string staging_name = "." + name + ".staging";
  const std::string staging = path_join(dir_display, staging_name);
  if (const int e = stage(dir_fd, staging_name, bytes); e != 0) {
    ::unlinkat(dir_fd, staging_name.c_str(), 0);
    return system_error(ErrorKind::state_unavailable, "cannot stage " + staging, e);
  }
  if (::renameat(dir_fd, staging_name.c_str(), dir_fd, name.c_str()) != 0) {
    const int e = errno;
    ::unlinkat(dir_fd, staging_name.c_str(), 0);
    return system_error(ErrorKind::state_unavailable,
                        "cannot promote " + staging + " to " + destination, e);
  }
  // The rename is done; a failed flush of the directory is not reported.
  (void)retry_eintr([&] { return ::fsync(dir_fd); });
  return {};
}

}  // namespace

Status write_file_atomically(const std::string& destination, std::string_view bytes) {
  // Trailing separators do not change which entry is named.
  std::string_view trimmed = destination;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  if (trimmed.empty() || trimmed == "/")
    return store_error(destination + " has no parent directory");

  const size_t slash = trimmed.rfind('/');
  const std::string name(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
  if (name == "." || name == ".." || !is_valid_utf8(name))
    return store_error(destination + " has no usable file name");

  std::string parent;
  if (slash == std::string_view::npos) {
    parent = ".";
  } else {
    std::string_view p = trimmed.substr(0, slash);
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    parent = p.empty() ? "/" : std::string(p);
  }

  if (const int e = create_directories(parent); e != 0)
    return system_error(ErrorKind::state_unavailable, "cannot create " + parent, e);

  Fd dir(retry_eintr([&] { return ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (dir.get() < 0)
    return system_error(ErrorKind::state_unavailable, "cannot create " + parent, errno);
  return write_in(dir.get(), parent, name, bytes, destination);
}

Status write_file_atomically_at(int dir_fd, const std::string& dir_display, const std::string& name,
                                std::string_view bytes) {
  return write_in(dir_fd, dir_display, name, bytes, path_join(dir_display, name));
}

}  // namespace velk
