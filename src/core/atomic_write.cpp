#include "core/atomic_write.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/fs.h"
#include "core/progress.h"
#include "core/text.h"

namespace velk {

namespace {

Error store_error(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

constexpr std::string_view kFreshStagingPrefix = ".velk-staging-";

std::string random_staging_name() {
  unsigned char bytes[8];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // Without the kernel's generator a counter and the clock still make
    // names that are unlikely to repeat; O_EXCL catches the rest.
    static uint64_t counter = 0;
    const uint64_t mixed = static_cast<uint64_t>(::getpid()) * 0x9e3779b97f4a7c15ULL ^
                           static_cast<uint64_t>(::time(nullptr)) ^ ++counter;
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(mixed >> (8 * i));
  }
  char hex[sizeof bytes * 2 + 1];
  for (size_t i = 0; i < sizeof bytes; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return std::string(kFreshStagingPrefix) + hex;
}

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Creates the staging file: the fixed name after any leftover is removed,
// or a fresh random name. Returns the descriptor or -1 with errno.
int create_staging(int dir_fd, const Replacement& how, std::string* staging) {
  if (!how.staging_name.empty()) {
    *staging = how.staging_name;
    if (::unlinkat(dir_fd, staging->c_str(), 0) != 0 && errno != ENOENT) return -1;
    return retry_eintr([&] { return ::openat(dir_fd, staging->c_str(), kCreateFlags, 0666); });
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    *staging = random_staging_name();
    const int fd = retry_eintr([&] { return ::openat(dir_fd, staging->c_str(), kCreateFlags, 0666); });
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Gives the owner, writes, sets the mode and flushes; 0 or the errno of the
// first failure.
int fill(int fd, std::string_view bytes, const Replacement& how) {
  if (const int e = give_owner(fd, how.owner); e != 0) return e;
  if (const int e = write_all(fd, bytes); e != 0) return e;
  // Never set-user-ID, set-group-ID or sticky.
  if (how.mode && ::fchmod(fd, *how.mode & 0777) != 0) return errno;
  if (!how.flush_file) {
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    return 0;
  }
  // fsync rather than fdatasync: the size and the rest of the metadata must
  // be durable before the rename makes the file visible under its name.
  if (retry_eintr([&] { return ::fsync(fd); }) != 0) return errno;
  return 0;
}

}  // namespace

bool is_fresh_staging_name(std::string_view name) {
  if (name.size() != kFreshStagingPrefix.size() + 16 || !starts_with(name, kFreshStagingPrefix))
    return false;
  for (const char c : name.substr(kFreshStagingPrefix.size()))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

Result<void, ReplaceFailure> replace_in_directory(int dir_fd, const std::string& name,
                                                  std::string_view bytes, const Replacement& how) {
  ReplaceFailure failure;
  const int fd = create_staging(dir_fd, how, &failure.staging);
  if (fd < 0) {
    failure.err = errno;
    return failure;
  }
  int err = fill(fd, bytes, how);
  if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  if (err != 0) {
    ::unlinkat(dir_fd, failure.staging.c_str(), 0);
    failure.err = err;
    return failure;
  }
  if (::renameat(dir_fd, failure.staging.c_str(), dir_fd, name.c_str()) != 0) {
    failure.err = errno;
    failure.promoting = true;
    ::unlinkat(dir_fd, failure.staging.c_str(), 0);
    return failure;
  }
  // The rename is done; a failed flush of the directory is not reported.
  if (how.flush_directory) (void)retry_eintr([&] { return ::fsync(dir_fd); });
  return {};
}

namespace {

// A document: staged as ".{name}.staging" beside it.
Status write_in(int dir_fd, const std::string& dir_display, const std::string& name,
                std::string_view bytes, const std::string& destination,
                const std::optional<Owner>& owner = std::nullopt) {
  Replacement how;
  how.staging_name = "." + name + ".staging";
  how.owner = owner;
  auto replaced = replace_in_directory(dir_fd, name, bytes, how);
  if (replaced.ok()) return {};
  const ReplaceFailure& f = replaced.error();
  const std::string staging = path_join(dir_display, f.staging);
  if (f.promoting)
    return system_error(ErrorKind::state_unavailable,
                        "cannot promote " + staging + " to " + destination, f.err);
  return system_error(ErrorKind::state_unavailable, "cannot stage " + staging, f.err);
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
                                std::string_view bytes, const std::optional<Owner>& owner) {
  return write_in(dir_fd, dir_display, name, bytes, path_join(dir_display, name), owner);
}

Status replace_file_at(int dir_fd, const std::string& name, std::string_view bytes, mode_t mode,
                       const std::string& display, const std::optional<Owner>& owner) {
  Replacement how;
  how.mode = mode;
  how.owner = owner;
  how.flush_directory = false;
  how.flush_file = false;
  auto replaced = replace_in_directory(dir_fd, name, bytes, how);
  if (replaced.ok()) {
    progress_file(bytes.size());
    return {};
  }
  const ReplaceFailure& f = replaced.error();
  return system_error(ErrorKind::state_unavailable,
                      (f.promoting ? "cannot promote " : "cannot stage ") + display, f.err);
}

}  // namespace velk
