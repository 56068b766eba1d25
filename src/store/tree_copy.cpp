#include "store/tree_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/fs.h"
#include "core/text.h"
#include "store/identity.h"

namespace velk {

namespace {

bool falls_back_from_range_copy(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF ||
         err == ETXTBSY || err == EPERM;
}

// Plain read/write of the rest of `in` into `out`. Returns 0 or errno.
int copy_by_reading(int in, int out) {
  static thread_local char buffer[65536];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(in, buffer, sizeof buffer); });
    if (n < 0) return errno;
    if (n == 0) return 0;
    size_t done = 0;
    while (done < static_cast<size_t>(n)) {
      const ssize_t w =
          retry_eintr([&] { return ::write(out, buffer + done, static_cast<size_t>(n) - done); });
      if (w < 0) return errno;
      done += static_cast<size_t>(w);
    }
  }
}

// The bytes of `in` into the empty `out`: a copy-on-write clone where the
// file system offers one, an in-kernel range copy otherwise, and a plain
// read/write loop where neither works. Returns 0 or errno.
int copy_bytes(int in, int out) {
  if (::ioctl(out, FICLONE, in) == 0) return 0;
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

}  // namespace

Status copy_file(const std::string& source, const std::string& destination) {
  const std::string message = "cannot copy " + source + " to " + destination;
  const auto refuse_special = [&] {
    return with_cause(ErrorKind::state_unavailable, message, "not a regular file");
  };
  // Look first, so a FIFO or a device is never even opened.
  struct stat st;
  if (::lstat(source.c_str(), &st) != 0)
    return system_error(ErrorKind::state_unavailable, message, errno);
  if (!S_ISREG(st.st_mode)) return refuse_special();

  Fd in(retry_eintr(
      [&] { return ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC); }));
  if (in.get() < 0) return system_error(ErrorKind::state_unavailable, message, errno);
  // The entry may have been swapped since it was looked at.
  if (::fstat(in.get(), &st) != 0) return system_error(ErrorKind::state_unavailable, message, errno);
  if (!S_ISREG(st.st_mode)) return refuse_special();

  Fd out(retry_eintr([&] {
    return ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  }));
  if (out.get() < 0) return system_error(ErrorKind::state_unavailable, message, errno);
  int err = copy_bytes(in.get(), out.get());
  if (err == 0 && ::fchmod(out.get(), st.st_mode & 07777) != 0) err = errno;
  const int close_err = out.close();
  if (err == 0) err = close_err;
  if (err != 0) return system_error(ErrorKind::state_unavailable, message, err);
  return {};
}

Status copy_tree_with(const std::string& source, const std::string& destination,
                      const TreeCopyOptions& options) {
  if (const int e = create_directories(destination); e != 0)
    return system_error(ErrorKind::state_unavailable, "cannot create " + destination, e);
  VELK_ASSIGN(const auto names, list_directory(source));
  for (const auto& name : names) {
    const std::string from = path_join(source, name);
    if (!is_valid_utf8(name))
      return make_error(ErrorKind::state_unavailable,
                        from + " has a name this kernel cannot represent");
    const std::string to = path_join(destination, name);
    if (std::find(options.spared.begin(), options.spared.end(), to) != options.spared.end())
      continue;
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0)
      return system_error(ErrorKind::state_unavailable, "cannot stat " + from, errno);
    if (S_ISDIR(st.st_mode)) {
      VELK_TRY(copy_tree_with(from, to, options));
    } else if (S_ISLNK(st.st_mode)) {
      return make_error(ErrorKind::integrity_mismatch,
                        from + " is a symbolic link and is not captured");
    } else {
      VELK_TRY(copy_file(from, to));
      if (options.written) options.written->push_back(to);
    }
  }
  return {};
}

Status copy_tree(const std::string& source, const std::string& destination) {
  return copy_tree_with(source, destination, {});
}

}  // namespace velk
