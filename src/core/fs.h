// File-system helpers over POSIX calls. Paths are byte strings joined with
// "/"; nothing here follows a symbolic link unless its name says so.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace velk {

// Joins a base path and a "/"-separated relative path.
std::string path_join(std::string_view base, std::string_view relative);
// The directory part of a path ("/a/b" -> "/a"; "b" -> ""; "/b" -> "/").
std::string parent_path(std::string_view path);
// The final component of a path ("/a/b" -> "b"; "/a/b/" -> "").
std::string file_name(std::string_view path);
// Splits a "/"-separated relative path into its segments.
std::vector<std::string> split_path(std::string_view relative);
// The components of a path, empty and "." components dropped ("/a//./b" ->
// {"a", "b"}); ".." is kept as it is.
std::vector<std::string_view> path_components(std::string_view path);
// True when `path` equals `ancestor` or lies below it, compared component by
// component ("/a/bc" is not below "/a/b").
bool path_is_within(std::string_view path, std::string_view ancestor);

// lstat / stat that report absence as nullopt and any other failure as an
// errno value in *err (0 when absent or found).
std::optional<struct stat> lstat_path(const std::string& path, int* err = nullptr);
std::optional<struct stat> stat_path(const std::string& path, int* err = nullptr);
// Whether the path, links followed, names a directory / a regular file.
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);

// Opens a regular file for reading, non-blocking, so a FIFO never makes the
// caller wait; anything but a regular file is refused ("not a regular file",
// or EISDIR for a directory). On success the caller owns the descriptor and
// `*st` describes the file. `message` is the error message on failure.
Result<int> open_regular_file(const std::string& path, std::string message, struct stat* st);

// No cap on what a read may return.
inline constexpr uint64_t kUnbounded = ~uint64_t{0};

// The cause of a read refused for its size: "it is {size} bytes, more than
// the {cap} this build reads for it".
std::string oversize_cause(uint64_t size, uint64_t cap);

// Reads a whole file. The error's sys_errno tells ENOENT apart. Opened
// non-blocking, and anything but a regular file is refused, so a FIFO never
// makes a reader wait. A file larger than `max_bytes` (looked at before a
// byte is read, and again as it is read, should it grow) is refused with
// the oversize cause (EFBIG). `message` is the error message on failure.
Result<std::string> read_file(const std::string& path, std::string message,
                              uint64_t max_bytes = kUnbounded);

// The rest of read_file for a descriptor already opened and looked at; the
// descriptor is closed either way.
Result<std::string> read_opened(int fd, const struct stat& st, std::string message,
                                uint64_t max_bytes = kUnbounded);

// Lists a directory's entry names ("." and ".." left out), in listing order.
// Errors: "cannot list {dir}" / "cannot read an entry of {dir}".
Result<std::vector<std::string>> list_directory(const std::string& dir);

// Creates a directory and its missing parents, mode 0777 before the umask.
// Returns the errno of the failure, or 0.
int create_directories(const std::string& path);

// Removes the path whole if it exists: a directory with everything below it,
// anything else (a link is never followed) unlinked. Absence is success.
// The parent is reached through its path; everything below is removed
// relative to descriptors (remove_entry_at of fs_at.h), so a link swapped
// in mid-walk is unlinked, never followed. Inside a target, where the path
// of the parent itself cannot be trusted, use remove_beneath instead.
// Failure: "cannot remove {path}" (state_unavailable, cause attached).
Status remove_path(const std::string& path);

// Writes every byte to the descriptor, retrying short and interrupted
// writes. Returns 0 or the errno of the failure.
int write_all(int fd, std::string_view bytes);

// Flushes a directory (its entries: a rename or a creation in it) to stable
// storage. Returns 0 or the errno of the failure; most callers ignore it,
// since what it makes durable has already happened.
int sync_directory(const std::string& dir);

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the close's own failure (0 or errno).
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Retries `fn` while it fails with EINTR.
template <class Fn>
auto retry_eintr(Fn fn) {
  for (;;) {
    auto r = fn();
    if (!(r == -1 && errno == EINTR)) return r;
  }
}

}  // namespace velk
