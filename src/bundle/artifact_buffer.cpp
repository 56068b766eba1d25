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

Result<ArtifactBuffer> read_artifact(const std::string& path, std::string message) {
  struct stat st;
  VELK_ASSIGN(const int fd, open_regular_file(path, message, &st));
  ArtifactBuffer buffer;
  // One byte more than the size seen, so that reaching the end needs no
  // growth unless the file grew meanwhile.
  size_t wanted = static_cast<size_t>(st.st_size) + 1;
  for (;;) {
    if (const int e = reserve(buffer.data_, buffer.capacity_, wanted); e != 0) {
      ::close(fd);
      return system_error(ErrorKind::state_unavailable, std::move(message), e);
    }
    const ssize_t n = retry_eintr([&] {
      return ::read(fd, buffer.data_ + buffer.size_, buffer.capacity_ - buffer.size_);
    });
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      return system_error(ErrorKind::state_unavailable, std::move(message), e);
    }
    if (n == 0) break;
    buffer.size_ += static_cast<size_t>(n);
    if (buffer.size_ == buffer.capacity_) wanted = buffer.capacity_ + 1;
  }
  ::close(fd);
  return buffer;
}

}  // namespace velk
