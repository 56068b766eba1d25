#include "bundle/artifact_buffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "core/fs.h"

namespace velk {

ArtifactBuffer::ArtifactBuffer(ArtifactBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ArtifactBuffer& ArtifactBuffer::operator=(ArtifactBuffer&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ArtifactBuffer::~ArtifactBuffer() { reset(); }

void ArtifactBuffer::reset() {
  if (data_) ::munmap(data_, capacity_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

namespace {

// Grows (or first makes) the anonymous mapping to hold at least `wanted`
// bytes, keeping what it holds. Returns 0 or an errno value.
int reserve(char*& data, size_t& capacity, size_t wanted) {
  if (wanted <= capacity && data) return 0;
  size_t grown = capacity ? capacity : 65536;
  while (grown < wanted) grown *= 2;
  void* p = data ? ::mremap(data, capacity, grown, MREMAP_MAYMOVE)
                 : ::mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return errno;
  (void)::madvise(p, grown, MADV_HUGEPAGE);  // advice only; a refusal changes nothing
  data = static_cast<char*>(p);
  capacity = grown;
  return 0;
}

}  // namespace

Result<OpenedArtifact> open_artifact(const std::string& path, std::string message) {
  struct stat st;
  VELK_ASSIGN(const int fd, open_regular_file(path, std::move(message), &st));
  return OpenedArtifact{Fd(fd), static_cast<uint64_t>(st.st_size)};
}

Result<ArtifactBuffer> read_artifact(OpenedArtifact& opened, std::string message) {
  const auto changed = [&] {
    return with_cause(ErrorKind::state_unavailable, std::move(message),
                      "the file changed size while it was read");
  };
  ArtifactBuffer buffer;
  // One byte more than the size seen, to notice a file that grew.
  const size_t wanted = static_cast<size_t>(opened.size) + 1;
  if (const int e = reserve(buffer.data_, buffer.capacity_, wanted); e != 0)
    return system_error(ErrorKind::state_unavailable, std::move(message), e);
  while (buffer.size_ < wanted) {
    const ssize_t n = retry_eintr([&] {
      return ::read(opened.fd.get(), buffer.data_ + buffer.size_, wanted - buffer.size_);
    });
    if (n < 0) return system_error(ErrorKind::state_unavailable, std::move(message), errno);
    if (n == 0) break;
    buffer.size_ += static_cast<size_t>(n);
  }
  if (buffer.size_ != opened.size) return changed();
  return buffer;
}

}  // namespace velk
