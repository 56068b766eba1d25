// A bundle file mapped read-only into memory. The bytes come straight from
// the page cache: nothing is copied and no fresh memory is touched for them,
// which is most of the cost of holding a 64 MiB artifact. Private to the
// bundle folder.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"

namespace velk {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }
  // Unmaps early; bytes() is empty afterwards.
  void reset();

 private:
  friend Result<MappedFile> map_file(const std::string& path, std::string message);
  void* data_ = nullptr;
  size_t size_ = 0;
};

// Opens the file non-blocking and maps it whole. Anything but a regular
// file is refused without blocking (a FIFO, a device), as read_file does,
// with the same causes. `message` is the error message on failure.
Result<MappedFile> map_file(const std::string& path, std::string message);

}  // namespace velk
