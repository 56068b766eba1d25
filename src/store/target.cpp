#include "store/target.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>

#include "core/fs.h"
#include "product/declaration.h"

namespace velk {

namespace {

constexpr size_t kPoolCapacity = 10;

// Makes a path absolute without resolving links: repeated separators and "."
// components go, ".." stays (it may cross a link). Returns 0 or an errno.
int make_absolute(std::string_view path, std::string* out) {
  std::string base;
  if (path.empty() || path.front() != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return errno;
    base = cwd;
  }
  std::string result;
  auto append = [&](std::string_view text) {
    for (const std::string_view part : path_components(text)) {
      result += '/';
      result += part;
    }
  };
  append(base);
  append(path);
  *out = result.empty() ? "/" : result;
  return 0;
}

// The lock paths this process holds, each reduced to its components so that
// "/t//x" and "/t/x" are the same entry.
std::mutex registry_mutex;
std::set<std::string>& registry() {
  static std::set<std::string> held;
  return held;
}

std::string registry_key(const std::string& path) {
  std::string key;
  (void)make_absolute(path, &key);
  return key;
}

bool registry_add(const std::string& path) {
  std::lock_guard<std::mutex> guard(registry_mutex);
  return registry().insert(registry_key(path)).second;
}

void registry_remove(const std::string& path) {
  std::lock_guard<std::mutex> guard(registry_mutex);
  registry().erase(registry_key(path));
}

Error invalid(std::string message) { return make_error(ErrorKind::invalid_target, std::move(message)); }

}  // namespace

Result<Target> validate_target(std::string_view text) {
  const std::string path(text);
  if (path.empty() || path.front() != '/') return invalid("target must be absolute, got " + path);

  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    const int e = errno;
    return system_error(ErrorKind::invalid_target,
                        "target " + path + " cannot be inspected: " + errno_text(e), e);
  }
  if (S_ISLNK(st.st_mode)) return invalid("target " + path + " is a symbolic link");
  if (!S_ISDIR(st.st_mode)) return invalid("target " + path + " is not a directory");

  std::string canonical;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) {
    canonical = resolved;
  } else if (const int e = make_absolute(path, &canonical); e != 0) {
    return system_error(ErrorKind::invalid_target,
                        "target " + path + " cannot be canonicalized and cannot be made absolute: " +
                            errno_text(e),
                        e);
  }
  // Opened once, here: everything below it is reached through this
  // descriptor. What stands at the name now must still be a directory.
  auto dir = Dir::open_root(canonical);
  if (!dir.ok()) {
    const int e = dir.error();
    if (e == ELOOP) return invalid("target " + path + " is a symbolic link");
    if (e == ENOTDIR) return invalid("target " + path + " is not a directory");
    return system_error(ErrorKind::invalid_target,
                        "target " + path + " cannot be inspected: " + errno_text(e), e);
  }
  return Target{canonical, std::string(declaration().control_dir_name), std::move(dir).value()};
}

namespace {

TargetStore store_paths(const Target& target) {
  TargetStore store;
  store.target_path = target.path;
  store.control_name = target.control_name;
  store.control_dir = path_join(target.path, target.control_name);
  store.pool = BackupPool{path_join(store.control_dir, "backups"), kPoolCapacity, Dir()};
  store.target = target.dir;
  return store;
}

Error not_plain(const TargetStore& store) {
  return invalid(store.control_dir + " exists but is not a plain directory");
}

}  // namespace

Result<TargetStore> locate_target_store(const Target& target) {
  TargetStore store = store_paths(target);
  auto control = store.target.open(store.control_name);
  if (!control.ok()) {
    const int e = control.error();
    if (e == ENOENT) return store;
    if (e == ENOTDIR || e == ELOOP) return not_plain(store);
    return system_error(ErrorKind::state_unavailable, "cannot open " + store.control_dir, e);
  }
  store.control = std::move(control).value();
  // A pool that is not a directory holds no slots; a change refuses it.
  if (auto pool = store.control.open("backups"); pool.ok()) store.pool.dir = std::move(pool).value();
  return store;
}

Result<TargetStore> locate_target_store(std::string_view text) {
  VELK_ASSIGN(const Target target, validate_target(text));
  return locate_target_store(target);
}

Result<TargetStore> open_target_store(std::string_view text) {
  VELK_ASSIGN(const Target target, validate_target(text));
  return open_target_store(target);
}

Result<TargetStore> open_target_store(const Target& target) {
  TargetStore store = store_paths(target);
  auto control = store.target.open(store.control_name);
  if (!control.ok() && control.error() == ENOENT) {
    control = store.target.make(store.control_name, 0700);
    if (control.ok()) {
      if (::fchmod(control->fd(), 0700) != 0)
        return system_error(ErrorKind::state_unavailable, "cannot restrict " + store.control_dir,
                            errno);
      // Made durable at once: every record kept in it counts on it.
      if (const int e = store.target.sync(); e != 0)
        return system_error(ErrorKind::state_unavailable, "cannot create " + store.control_dir, e);
    } else if (control.error() == EEXIST) {
      control = store.target.open(store.control_name);  // made meanwhile
    } else {
      return system_error(ErrorKind::state_unavailable, "cannot create " + store.control_dir,
                          control.error());
    }
  }
  if (!control.ok()) {
    const int e = control.error();
    if (e == ENOTDIR || e == ELOOP) return not_plain(store);
    return system_error(ErrorKind::state_unavailable, "cannot create " + store.control_dir, e);
  }
  store.control = std::move(control).value();

  // The pool is written into and pruned: a link in its place would carry
  // that outside the target, so only a real directory is accepted.
  const bool had_pool = store.control.stat("backups").has_value();
  auto pool = store.control.open_or_make("backups");
  if (pool.ok() && !had_pool)
    if (const int e = store.control.sync(); e != 0) pool = e;
  if (!pool.ok()) {
    const int e = pool.error() == ELOOP || pool.error() == ENOTDIR ? EEXIST : pool.error();
    return system_error(ErrorKind::state_unavailable,
                        "cannot create the backup pool at " + store.pool.path, e);
  }
  store.pool.dir = std::move(pool).value();
  return store;
}

TargetLock::TargetLock(TargetLock&& other) noexcept
    : path_(std::move(other.path_)), fd_(other.fd_) {
  other.fd_ = -1;
}

TargetLock& TargetLock::operator=(TargetLock&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

TargetLock::~TargetLock() { release(); }

void TargetLock::release() {
  if (fd_ < 0) return;
  (void)::flock(fd_, LOCK_UN);
  registry_remove(path_);
  ::close(fd_);
  fd_ = -1;
}

Result<TargetLock> lock_target(const Dir& control) {
  const std::string path = control.below("target.lock");
  if (!registry_add(path))
    return make_error(ErrorKind::lock_unavailable, "this process already holds " + path);
  const auto failed = [&](int e) {
    registry_remove(path);
    return system_error(ErrorKind::state_unavailable, "cannot open lock file " + path, e);
  };

  // O_NOFOLLOW: a link in place of the lock file must not lead outside the
  // control directory. No O_TRUNC: the last holder's note stays until the
  // next annotation. Made exclusively the first time, so only a file this
  // program made is given the target's owner.
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  bool made = true;
  int fd = retry_eintr(
      [&] { return ::openat(control.fd(), "target.lock", kFlags | O_CREAT | O_EXCL, 0666); });
  if (fd < 0 && errno == EEXIST) {
    made = false;
    fd = retry_eintr([&] { return ::openat(control.fd(), "target.lock", kFlags); });
  }
  if (fd < 0) return failed(errno);
  Fd held(fd);
  struct stat st;
  int e = ::fstat(fd, &st) != 0 ? errno : 0;
  // A hard link to a file elsewhere would have that file truncated and
  // annotated: only a regular file with this one name is the lock.
  if (e == 0 && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) e = EINVAL;
  if (e == 0 && made) e = control.own(fd);
  if (e != 0) return failed(e);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int flock_errno = errno;
    registry_remove(path);
    const std::string message = "another process holds " + path;
    if (flock_errno == EWOULDBLOCK) return make_error(ErrorKind::lock_unavailable, message);
    return system_error(ErrorKind::lock_unavailable, message, flock_errno);
  }
  return TargetLock(path, held.release());
}

bool target_lock_held(const Dir& control) {
  if (!control.valid()) return false;
  const std::string path = control.below("target.lock");
  {
    std::lock_guard<std::mutex> guard(registry_mutex);
    if (registry().count(registry_key(path)) != 0) return true;
  }
  const Fd fd(retry_eintr([&] {
    return ::openat(control.fd(), "target.lock", O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  }));
  if (fd.get() < 0) return false;
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  (void)::flock(fd.get(), LOCK_UN);
  return false;
}

Status annotate_lock(TargetLock& lock, std::string_view text) {
  auto fail = [&](int e) {
    return system_error(ErrorKind::state_unavailable, "cannot annotate " + lock.path(), e);
  };
  if (!lock.held()) return fail(EBADF);
  if (retry_eintr([&] { return ::ftruncate(lock.fd(), 0); }) != 0) return fail(errno);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = retry_eintr([&] {
      return ::pwrite(lock.fd(), text.data() + done, text.size() - done, static_cast<off_t>(done));
    });
    if (n < 0) return fail(errno);
    done += static_cast<size_t>(n);
  }
  return {};
}

std::string lock_annotation(std::string_view operation) {
  std::string text(declaration().provider_id);
  text += ' ';
  text += operation;
  return text;
}

}  // namespace velk
