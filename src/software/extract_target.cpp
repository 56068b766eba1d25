#include "software/extract_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/fs.h"
#include "core/path_rules.h"

namespace velk {

namespace {

// Starting write-back every few MiB keeps the final flush of a large file
// short and the dirty page cache small.
constexpr uint64_t kWritebackStep = 8u << 20;

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace

Error extract_error(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

Error extract_system_error(std::string message, int err) {
  return system_error(ErrorKind::state_unavailable, std::move(message), err);
}

Result<size_t, int> read_up_to(int fd, void* data, size_t size) {
  size_t done = 0;
  auto* out = static_cast<unsigned char*>(data);
  while (done < size) {
    const ssize_t n = retry_eintr([&] { return ::read(fd, out + done, size - done); });
    if (n < 0) return errno;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(other.fd_),
      write_message_(other.write_message_),
      written_(other.written_),
      synced_(other.synced_) {
  other.fd_ = -1;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    write_message_ = other.write_message_;
    written_ = other.written_;
    synced_ = other.synced_;
    other.fd_ = -1;
  }
  return *this;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status OutputFile::write(const void* data, size_t size) {
  const auto* in = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = retry_eintr([&] { return ::write(fd_, in + done, size - done); });
    if (n < 0) return extract_system_error(std::string(write_message_), errno);
    done += static_cast<size_t>(n);
  }
  written_ += size;
#ifdef SYNC_FILE_RANGE_WRITE
  if (written_ - synced_ >= kWritebackStep) {
    // Only a hint: the flush at the end is what counts, so failures are moot.
    (void)::sync_file_range(fd_, static_cast<off_t>(synced_),
                            static_cast<off_t>(written_ - synced_), SYNC_FILE_RANGE_WRITE);
    synced_ = written_;
  }
#else
  (void)kWritebackStep;
#endif
  return {};
}

Result<ExtractTarget> ExtractTarget::open(const Dir& destination, ExtractionLimits limits) {
  const int fd = ::fcntl(destination.fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return extract_system_error(destination.path() + " could not be opened", errno);
  return ExtractTarget(fd, destination.path(), destination.owner(), limits);
}

ExtractTarget::ExtractTarget(ExtractTarget&& other) noexcept
    : fd_(other.fd_),
      destination_(std::move(other.destination_)),
      owner_(other.owner_),
      limits_(other.limits_),
      entries_(other.entries_),
      bytes_(other.bytes_),
      files_placed_(other.files_placed_) {
  other.fd_ = -1;
}

ExtractTarget::~ExtractTarget() {
  if (fd_ >= 0) ::close(fd_);
}

std::string ExtractTarget::joined(const std::vector<std::string>& segments, size_t count) const {
  std::string out = destination_;
  for (size_t i = 0; i < count; ++i) out = path_join(out, segments[i]);
  return out;
}

Result<EntryPath> ExtractTarget::admit(std::string_view name) {
  // Judged before anything else looks at the name, so admitting a name
  // takes time in proportion to a length this reader accepts.
  if (name.size() > kMaxEntryPathBytes)
    return extract_error("an archive entry path is " + std::to_string(name.size()) +
                         " bytes, more than the " + std::to_string(kMaxEntryPathBytes) +
                         " this extraction allows");
  const size_t segments = static_cast<size_t>(std::count(name.begin(), name.end(), '/')) + 1;
  if (segments > kMaxEntryPathSegments)
    return extract_error("an archive entry path has " + std::to_string(segments) +
                         " segments, more than the " + std::to_string(kMaxEntryPathSegments) +
                         " this extraction allows");
  auto checked = check_archive_entry_path(name);
  if (!checked.ok()) return extract_error(checked.error().message);
  EntryPath path;
  path.name = std::string(name);
  for (std::string& segment : split_path(name))
    if (!segment.empty() && segment != ".") path.segments.push_back(std::move(segment));
  const std::string full = joined(path.segments, path.segments.size());
  // The rules already exclude ".." and absolute names; this holds the line
  // should they ever be relaxed.
  for (const std::string& segment : path.segments)
    if (segment == "..")
      return extract_error(full + " is not inside " + destination_);
  if (!path_is_within(full, destination_))
    return extract_error(full + " is not inside " + destination_);
  if (entries_ >= limits_.max_entries)
    return extract_error("archive holds more than the " + std::to_string(limits_.max_entries) +
                         " entries this extraction allows");
  ++entries_;
  return path;
}

Result<int> ExtractTarget::open_directories(const std::vector<std::string>& segments,
                                            size_t count, const char* create_message) {
  int current = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (current < 0) return extract_system_error(create_message, errno);
  for (size_t i = 0; i < count; ++i) {
    FdCloser parent(current);
    const char* segment = segments[i].c_str();
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = ::openat(current, segment, flags);
    if (next < 0 && errno == ENOENT) {
      const bool made = ::mkdirat(current, segment, 0777) == 0;
      if (!made && errno != EEXIST) return extract_system_error(create_message, errno);
      next = ::openat(current, segment, flags);
      if (made && next >= 0 && give_owner(next, owner_) != 0) {
        const int e = errno;
        ::close(next);
        return extract_system_error(create_message, e);
      }
    }
    if (next < 0) {
      // O_NOFOLLOW makes a link fail like any other non-directory.
      if (errno == ENOTDIR || errno == ELOOP)
        return extract_error(joined(segments, i + 1) + " is not a directory");
      return extract_system_error(create_message, errno);
    }
    current = next;
  }
  return current;
}

Status ExtractTarget::make_directory(const EntryPath& path) {
  VELK_ASSIGN(const int fd, open_directories(path.segments, path.segments.size(),
                                             "archive directory could not be created"));
  ::close(fd);
  return {};
}

Result<OutputFile> ExtractTarget::create_file(const EntryPath& path, uint64_t size,
                                              std::string_view write_message) {
  if (size > limits_.max_bytes - bytes_)
    return extract_error("archive inflates past the " + std::to_string(limits_.max_bytes) +
                         " bytes this extraction allows");
  bytes_ += size;
  if (path.segments.empty())
    return with_cause(ErrorKind::state_unavailable, "archive file could not be created",
                      path.name + " names the destination itself");
  VELK_ASSIGN(const int parent, open_directories(path.segments, path.segments.size() - 1,
                                                 "archive parent directory could not be created"));
  FdCloser parent_closer(parent);
  const int fd = ::openat(parent, path.segments.back().c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return extract_system_error("archive file could not be created", errno);
  if (const int e = give_owner(fd, owner_); e != 0) {
    ::close(fd);
    return extract_system_error("archive file could not be created", e);
  }
  return OutputFile(fd, write_message);
}

// Files are flushed with the whole staged tree, once, before it is promoted.
Status ExtractTarget::finish_file(OutputFile& file, uint32_t mode) {
  if (::fchmod(file.fd(), static_cast<mode_t>(mode & 0777)) != 0)
    return extract_system_error("archive file permissions could not be set", errno);
  file = OutputFile();
  ++files_placed_;
  return {};
}

}  // namespace velk
