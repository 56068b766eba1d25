#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "core/fs.h"
#include "core/path_rules.h"
#include "product/declaration.h"
#include "software/artifact.h"
#include "software/extract_target.h"
#include "software/gzip_reader.h"
#include "software/tar_reader.h"
#include "software/zip_reader.h"

namespace velk {

namespace {

constexpr uint64_t kMaxEntries = 65536;
constexpr uint64_t kMinByteLimit = 64ull << 20;
constexpr uint64_t kInflationFactor = 16;

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The program form: the artifact's bytes become the program, mode 0755.
Result<uint64_t> place_executable(int artifact, const Dir& destination) {
  const std::string name(declaration().executable_name);
  const int fd = ::openat(destination.fd(), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
  if (fd < 0) return extract_system_error("executable could not be written", errno);
  OutputFile out(fd, "executable could not be written");
  if (const int e = destination.own(fd); e != 0)
    return extract_system_error("executable could not be written", e);
  constexpr size_t kBuffer = 64 * 1024;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBuffer]);
  for (;;) {
    auto got = read_up_to(artifact, buffer.get(), kBuffer);
    if (!got.ok()) return extract_system_error("executable could not be written", got.error());
    if (*got == 0) break;
    VELK_TRY(out.write(buffer.get(), *got));
  }
  // Set explicitly: the umask must not take the execute bits away.
  if (::fchmod(fd, 0755) != 0) return extract_system_error("executable could not be written", errno);
  // Flushed with the rest of the staged tree, once, before it is promoted.
  return uint64_t{1};
}

}  // namespace

ExtractionLimits extraction_limits(uint64_t byte_length) {
  ExtractionLimits limits;
  limits.max_entries = kMaxEntries;
  limits.max_bytes = byte_length > UINT64_MAX / kInflationFactor
                         ? kMinByteLimit
                         : std::max(byte_length * kInflationFactor, kMinByteLimit);
  return limits;
}

Result<uint64_t> extract_artifact(const std::string& artifact, ArtifactForm form,
                                  const Dir& destination, uint64_t byte_length) {
  // Non-blocking, so a FIFO named as the artifact cannot stall the open.
  const int fd = ::open(artifact.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return extract_system_error("downloaded artifact could not be opened", errno);
  FdCloser closer(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0)
    return extract_system_error("downloaded artifact could not be opened", errno);
  if (!S_ISREG(st.st_mode))
    return with_cause(ErrorKind::state_unavailable, "downloaded artifact could not be opened",
                      artifact + " is not a regular file");
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  if (form == ArtifactForm::executable) return place_executable(fd, destination);

  const ExtractionLimits limits = extraction_limits(byte_length);
  VELK_ASSIGN(ExtractTarget target, ExtractTarget::open(destination, limits));
  if (form == ArtifactForm::tar_gzip) {
    // Every inflated byte counts against the limit, the archive's headers
    // and whatever follows its end as much as the files.
    GzipReader gzip(fd, limits.max_bytes);
    VELK_TRY(gzip.start());
    VELK_TRY(extract_tar(gzip, target));
  } else {
    VELK_TRY(extract_zip(fd, target));
  }
  return target.files_placed();
}

Status find_entry_point(const Dir& destination, std::string_view entry_point) {
  const auto missing = [&] {
    return make_error(ErrorKind::state_unavailable,
                      "the archive does not contain " + std::string(entry_point) +
                          ", which the plan named as the executable");
  };
  auto checked = check_archive_entry_path(entry_point);
  if (!checked.ok()) return missing();
  // Looked at without following a link: extraction never makes one, so a
  // link here is not something this reader placed.
  const auto st = destination.stat(entry_point);
  if (!st || !S_ISREG(st->st_mode)) return missing();
  return {};
}

}  // namespace velk
