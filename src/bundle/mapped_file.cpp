#include "bundle/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "core/fs.h"

namespace velk {

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() { reset(); }

void MappedFile::reset() {
  if (data_) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

Result<MappedFile> map_file(const std::string& path, std::string message) {
  const int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return system_error(ErrorKind::state_unavailable, std::move(message), errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return system_error(ErrorKind::state_unavailable, std::move(message), e);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    Error error = system_error(ErrorKind::state_unavailable, std::move(message),
                               S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (!S_ISDIR(st.st_mode)) error.cause = "not a regular file";
    return error;
  }
  MappedFile file;
  if (st.st_size > 0) {
    const size_t size = static_cast<size_t>(st.st_size);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (data == MAP_FAILED) {
      const int e = errno;
      ::close(fd);
      return system_error(ErrorKind::state_unavailable, std::move(message), e);
    }
    file.data_ = data;
    file.size_ = size;
  }
  ::close(fd);
  return file;
}

}  // namespace velk
