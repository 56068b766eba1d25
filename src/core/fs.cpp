#include "core/fs.h"

#include "core/fs_at.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace velk {

std::string path_join(std::string_view base, std::string_view relative) {
  std::string out(base);
  if (relative.empty()) return out;
  if (out.empty()) return std::string(relative);
  if (out.back() != '/') out += '/';
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  out += relative;
  return out;
}

std::string parent_path(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string file_name(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(path.substr(slash + 1));
}

std::vector<std::string> split_path(std::string_view relative) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    if (slash == std::string_view::npos) {
      out.emplace_back(relative.substr(start));
      return out;
    }
    out.emplace_back(relative.substr(start, slash - start));
    start = slash + 1;
  }
}

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t j = i;
    while (j < path.size() && path[j] != '/') ++j;
    const std::string_view part = path.substr(i, j - i);
    if (!part.empty() && part != ".") out.push_back(part);
    i = j;
  }
  return out;
}

bool path_is_within(std::string_view path, std::string_view ancestor) {
  const auto p = path_components(path);
  const auto a = path_components(ancestor);
  if (a.size() > p.size()) return false;
  if (!path.empty() && !ancestor.empty() && (path.front() == '/') != (ancestor.front() == '/'))
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != p[i]) return false;
  return true;
}

std::optional<struct stat> lstat_path(const std::string& path, int* err) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (err) *err = 0;
    return st;
  }
  if (err) *err = (errno == ENOENT || errno == ENOTDIR) ? 0 : errno;
  return std::nullopt;
}

std::optional<struct stat> stat_path(const std::string& path, int* err) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (err) *err = 0;
    return st;
  }
  if (err) *err = (errno == ENOENT || errno == ENOTDIR) ? 0 : errno;
  return std::nullopt;
}

bool is_directory(const std::string& path) {
  const auto st = stat_path(path);
  return st && S_ISDIR(st->st_mode);
}

bool is_regular_file(const std::string& path) {
  const auto st = stat_path(path);
  return st && S_ISREG(st->st_mode);
}

Result<int> open_regular_file(const std::string& path, std::string message, struct stat* st) {
  const int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return system_error(ErrorKind::state_unavailable, std::move(message), errno);
  if (::fstat(fd, st) != 0) {
    const int e = errno;
    ::close(fd);
    return system_error(ErrorKind::state_unavailable, std::move(message), e);
  }
  if (!S_ISREG(st->st_mode)) {
    ::close(fd);
    const int e = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    Error error = system_error(ErrorKind::state_unavailable, std::move(message), e);
    if (!S_ISDIR(st->st_mode)) error.cause = "not a regular file";
    return error;
  }
  return fd;
}

std::string oversize_cause(uint64_t size, uint64_t cap) {
  return "it is " + std::to_string(size) + " bytes, more than the " + std::to_string(cap) +
         " this build reads for it";
}

Result<std::string> read_file(const std::string& path, std::string message, uint64_t max_bytes) {
  struct stat st;
  VELK_ASSIGN(const int fd, open_regular_file(path, message, &st));
  return read_opened(fd, st, std::move(message), max_bytes);
}

Result<std::string> read_opened(int fd, const struct stat& st, std::string message,
                                uint64_t max_bytes) {
  const auto oversize = [&](uint64_t size) {
    ::close(fd);
    Error error = with_cause(ErrorKind::state_unavailable, std::move(message),
                             oversize_cause(size, max_bytes));
    error.sys_errno = EFBIG;
    return error;
  };
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return oversize(static_cast<uint64_t>(st.st_size));
  std::string out;
  if (st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      return system_error(ErrorKind::state_unavailable, std::move(message), e);
    }
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
    if (out.size() > max_bytes) return oversize(out.size());
  }
  ::close(fd);
  return out;
}

Result<std::vector<std::string>> list_directory(const std::string& dir) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), &::closedir);
  if (!d) return system_error(ErrorKind::state_unavailable, "cannot list " + dir, errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d.get());
    if (!entry) {
      if (errno != 0)
        return system_error(ErrorKind::state_unavailable, "cannot read an entry of " + dir, errno);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

int write_all(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        retry_eintr([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int sync_directory(const std::string& dir) {
  const int fd = retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return errno;
  const int rc = retry_eintr([&] { return ::fsync(fd); });
  const int e = rc != 0 ? errno : 0;
  ::close(fd);
  return e;
}

int create_directories(const std::string& path) {
  if (path.empty()) return 0;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : EEXIST;
  const std::string parent = parent_path(path);
  if (!parent.empty() && parent != path) {
    const int e = create_directories(parent);
    if (e != 0) return e;
  }
  if (::mkdir(path.c_str(), 0777) != 0) {
    if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return errno;
  }
  return 0;
}

Status remove_path(const std::string& path) {
  // The parent is reached by its path; from the entry down everything is
  // relative to descriptors, so no link below it is ever followed.
  std::string_view trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  const std::string name = file_name(trimmed);
  std::string parent = parent_path(trimmed);
  if (parent.empty()) parent = ".";
  if (name.empty() || name == "." || name == "..")
    return system_error(ErrorKind::state_unavailable, "cannot remove " + path, EINVAL);
  // An entry that cannot even be looked at is nothing to remove.
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return {};
  const int dir = retry_eintr(
      [&] { return ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (dir < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return system_error(ErrorKind::state_unavailable, "cannot remove " + path, errno);
  }
  const int e = remove_entry_at(dir, name);
  ::close(dir);
  if (e != 0) return system_error(ErrorKind::state_unavailable, "cannot remove " + path, e);
  return {};
}

}  // namespace velk
