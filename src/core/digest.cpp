#include "core/digest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

// The block functions are marked deprecated in favour of the digest
// interface; they are kept, and are what this file wants.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "core/fs.h"
#include "core/fs_at.h"
#include "core/progress.h"
#include "core/json.h"
#include "core/text.h"

namespace velk {

namespace {

constexpr std::string_view kDigestPrefix = "sha256:";
constexpr int kAttempts = 8;

// SHA-256 through OpenSSL's own block functions, linked into the program:
// the same machine code (SHA extensions, AVX2) as its digest interface,
// without the provider machinery that interface starts on first use (which
// reads the system's configuration file and costs more than most commands
// spend on their work).
SHA256_CTX* context(void* ctx) { return static_cast<SHA256_CTX*>(ctx); }

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// ENOTDIR counts as absence too: a parent directory was replaced by a file.
bool is_not_found(int err) { return err == ENOENT || err == ENOTDIR; }

// The pause before attempt `attempt` (2..8) of a retried look at an entry:
// a processor yield before the second, 1 ms before the others.
void pause_before(int attempt) {
  if (attempt <= 2) {
    ::sched_yield();
    return;
  }
  timespec wait{0, 1'000'000};
  timespec rest{};
  while (::nanosleep(&wait, &rest) != 0 && errno == EINTR) wait = rest;
}

// The refusal of anything that is not a regular file, worded as an open
// failure so callers see one message for "cannot be digested".
Error not_regular_error(const std::string& path, mode_t mode) {
  if (S_ISDIR(mode)) return system_error(ErrorKind::state_unavailable, "cannot open " + path, EISDIR);
  Error error = system_error(ErrorKind::state_unavailable, "cannot open " + path, EINVAL);
  error.cause = "not a regular file";
  return error;
}

// Opens with O_NONBLOCK so a FIFO never waits for a writer, then refuses
// anything but a regular file before reading a byte.
Result<std::string> digest_opened(int dir_fd, const std::string& name, const std::string& display,
                                  int extra_flags, bool flush = false) {
  const int fd = retry_eintr([&] {
    return ::openat(dir_fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | extra_flags);
  });
  if (fd < 0) return system_error(ErrorKind::state_unavailable, "cannot open " + display, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return system_error(ErrorKind::state_unavailable, "cannot open " + display, e);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return not_regular_error(display, st.st_mode);
  }
  auto digest = digest_fd(fd, display);
  if (digest.ok() && flush && retry_eintr([&] { return ::fdatasync(fd); }) != 0) {
    const int e = errno;
    ::close(fd);
    return system_error(ErrorKind::state_unavailable, "cannot flush " + display, e);
  }
  ::close(fd);
  return digest;
}

// fstatat of `name` in `dir_fd` with the transient-failure retry; nullopt
// when it is absent at any attempt.
Result<std::optional<struct stat>> stat_retrying_at(int dir_fd, const std::string& name,
                                                    const std::string& display) {
  int err = 0;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (attempt > 1) pause_before(attempt);
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      return std::optional<struct stat>(st);
    err = errno;
    if (is_not_found(err)) return std::optional<struct stat>();
  }
  return system_error(ErrorKind::state_unavailable, "cannot stat " + display, err);
}

// readlinkat with the entry retry; nullopt when the link vanished.
Result<std::optional<std::string>> read_link_retrying(int dir_fd, const std::string& name,
                                                      const std::string& display, off_t size_hint) {
  size_t size = std::max<size_t>(static_cast<size_t>(std::max<off_t>(size_hint, 0)) + 1, 256);
  int err = 0;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (attempt > 1) pause_before(attempt);
    for (;;) {
      std::string target(size, '\0');
      const ssize_t n = ::readlinkat(dir_fd, name.c_str(), target.data(), target.size());
      if (n < 0) {
        err = errno;
        break;
      }
      // A full buffer may mean a cut-off target: read again with more room.
      if (static_cast<size_t>(n) >= target.size()) {
        size *= 2;
        continue;
      }
      target.resize(static_cast<size_t>(n));
      return std::optional<std::string>(std::move(target));
    }
    if (is_not_found(err)) return std::optional<std::string>();
  }
  return system_error(ErrorKind::state_unavailable, "cannot read link " + display, err);
}

// The digest of a regular file met by a walk, with the file retry; nullopt
// when it vanished. O_NOFOLLOW: an entry swapped for a link is never
// followed; O_NONBLOCK: one swapped for a FIFO never makes it wait.
Result<std::optional<std::string>> digest_entry_file(int dir_fd, const std::string& name,
                                                     const std::string& display, bool flush) {
  std::optional<Error> last;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (attempt > 1) pause_before(attempt);
    auto digest = digest_opened(dir_fd, name, display, O_NOFOLLOW, flush);
    if (digest.ok()) return std::optional<std::string>(std::move(digest).value());
    if (is_not_found(digest.error().sys_errno)) return std::optional<std::string>();
    last = std::move(digest).error();
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && is_not_found(errno))
      return std::optional<std::string>();
  }
  return std::move(*last);
}

// The record of the entry `name` of `dir_fd`, whose record path is
// `relative` (raw bytes); nullopt when it vanished. Links are read, never
// followed; files are digested with the file retry.
Result<std::optional<TreeRecord>> record_at(int dir_fd, const std::string& name,
                                            const std::string& relative,
                                            const std::string& display, bool flush) {
  VELK_ASSIGN(const std::optional<struct stat> st, stat_retrying_at(dir_fd, name, display));
  if (!st) return std::optional<TreeRecord>();
  TreeRecord record{lossy_utf8(relative), "", ""};
  if (S_ISDIR(st->st_mode)) {
    record.kind = "dir";
  } else if (S_ISLNK(st->st_mode)) {
    VELK_ASSIGN(std::optional<std::string> target,
                read_link_retrying(dir_fd, name, display, st->st_size));
    if (!target) return std::optional<TreeRecord>();
    record.kind = "link";
    record.detail = lossy_utf8(*target);
  } else if (S_ISREG(st->st_mode)) {
    VELK_ASSIGN(std::optional<std::string> digest, digest_entry_file(dir_fd, name, display, flush));
    if (!digest) return std::optional<TreeRecord>();
    progress_measured(static_cast<uint64_t>(st->st_size));
    record.kind = (st->st_mode & 0111) != 0 ? "file:x" : "file:-";
    record.detail = std::move(*digest);
  } else {
    // A FIFO, socket or device is refused without being opened: opening a
    // device can have effects of its own.
    return not_regular_error(display, st->st_mode);
  }
  return std::optional<TreeRecord>(std::move(record));
}

// The names of the directory behind `dir_fd` ("." and ".." left out).
Result<std::vector<std::string>> list_entries(int dir_fd, const std::string& display) {
  const int fd = retry_eintr(
      [&] { return ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return system_error(ErrorKind::state_unavailable, "cannot list " + display, errno);
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    const int e = errno;
    ::close(fd);
    return system_error(ErrorKind::state_unavailable, "cannot list " + display, e);
  }
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d);
    if (entry == nullptr) {
      const int e = errno;
      ::closedir(d);
      if (e != 0)
        return system_error(ErrorKind::state_unavailable, "cannot read an entry of " + display, e);
      return names;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
}

std::string joined(const std::string& prefix, const std::string& name) {
  return prefix.empty() ? name : prefix + "/" + name;
}

}  // namespace

bool is_digest_text(std::string_view text) {
  if (text.size() != kDigestPrefix.size() + 64 || !starts_with(text, kDigestPrefix)) return false;
  return std::all_of(text.begin() + kDigestPrefix.size(), text.end(), is_lower_hex);
}

Sha256::Sha256() : ctx_(new SHA256_CTX) {
  if (SHA256_Init(context(ctx_)) != 1) std::abort();
}

Sha256::~Sha256() { delete context(ctx_); }

void Sha256::update(const void* data, size_t size) {
  if (size == 0) return;
  if (SHA256_Update(context(ctx_), data, size) != 1) std::abort();
}

std::string Sha256::finish() {
  unsigned char value[SHA256_DIGEST_LENGTH];
  constexpr unsigned int length = SHA256_DIGEST_LENGTH;
  if (SHA256_Final(value, context(ctx_)) != 1) std::abort();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(kDigestPrefix);
  text.reserve(kDigestPrefix.size() + 64);
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[value[i] >> 4];
    text += kHex[value[i] & 0x0f];
  }
  return text;
}

std::string digest_bytes(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes);
  return sha.finish();
}

Result<std::string> digest_file(const std::string& path) {
  return digest_opened(AT_FDCWD, path, path, 0);
}

Result<std::string> digest_fd(int fd, const std::string& path) {
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // One fixed buffer: no file is ever held in memory whole.
  static constexpr size_t kBufferSize = 65536;
  alignas(4096) char buffer[kBufferSize];
  Sha256 sha;
  off_t offset = 0;
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::pread(fd, buffer, kBufferSize, offset); });
    if (n < 0) return system_error(ErrorKind::state_unavailable, "cannot read " + path, errno);
    if (n == 0) break;
    if (static_cast<size_t>(n) > kBufferSize)
      return make_error(ErrorKind::state_unavailable,
                        "read reported more bytes than the buffer holds");
    sha.update(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return sha.finish();
}

Result<std::string> digest_document(std::string_view tag, const Json& value) {
  VELK_ASSIGN(const std::string canonical, canonical_json(value));
  Sha256 sha;
  sha.update(tag);
  sha.update("\0", 1);
  sha.update(canonical);
  return sha.finish();
}

void sort_records(std::vector<TreeRecord>& records) {
  // std::string compares through char_traits<char>, which orders bytes as
  // unsigned char: plain byte order, a shorter prefix first.
  std::sort(records.begin(), records.end(),
            [](const TreeRecord& a, const TreeRecord& b) { return a.path < b.path; });
}

std::string digest_records(const std::vector<TreeRecord>& records) {
  Sha256 sha;
  for (const TreeRecord& record : records) {
    sha.update(record.path);
    sha.update("\0", 1);
    sha.update(record.kind);
    sha.update("\0", 1);
    sha.update(record.detail);
    sha.update("\0", 1);
  }
  return sha.finish();
}

Status walk_tree_at(int dir_fd, const std::string& display, const std::string& prefix,
                    std::vector<TreeRecord>& records, const std::vector<std::string>& skip,
                    bool flush) {
  VELK_ASSIGN(const std::vector<std::string> names, list_entries(dir_fd, display));
  for (const std::string& name : names) {
    if (std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
    VELK_ASSIGN(std::optional<TreeRecord> record,
                entry_record_at(dir_fd, name, joined(prefix, name), path_join(display, name), flush));
    if (!record) continue;
    const bool is_dir = record->kind == "dir";
    records.push_back(std::move(*record));
    if (is_dir) {
      const std::string below = path_join(display, name);
      const int child = retry_eintr([&] {
        return ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      });
      if (child < 0) {
        // Gone since it was looked at: nothing below it to record.
        if (is_not_found(errno)) continue;
        return system_error(ErrorKind::state_unavailable, "cannot list " + below, errno);
      }
      const Fd closer(child);
      VELK_TRY(walk_tree_at(child, below, joined(prefix, name), records, {}, flush));
    }
  }
  if (flush)
    if (const int e = sync_directory_fd(dir_fd); e != 0)
      return system_error(ErrorKind::state_unavailable, "cannot flush " + display, e);
  return {};
}

Result<std::optional<TreeRecord>> entry_record_at(int dir_fd, const std::string& name,
                                                  const std::string& relative,
                                                  const std::string& display, bool flush) {
  return record_at(dir_fd, name, relative, display, flush);
}

Result<std::string> digest_tree(const std::string& dir) {
  // The root may be reached through links; nothing below it is followed.
  const Fd root(retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (root.get() < 0) {
    if (is_not_found(errno)) return make_error(ErrorKind::invalid_target, dir + " is not a directory");
    return system_error(ErrorKind::state_unavailable, "cannot list " + dir, errno);
  }
  std::vector<TreeRecord> records;
  VELK_TRY(walk_tree_at(root.get(), dir, "", records));
  sort_records(records);
  return digest_records(records);
}

}  // namespace velk
