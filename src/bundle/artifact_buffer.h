// The bundle file read whole into memory of this process's own. Reading
// (rather than mapping the file) makes the bytes that are hashed the bytes
// that are validated, whatever another process does to the file meanwhile,
// and a file shortened under the reader can never fault it. The buffer is an
// anonymous mapping advised for huge pages: for a 64 MiB artifact, faulting
// in fresh small pages would cost more than reading and hashing the bytes.
// Private to the bundle folder.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"

namespace velk {

class ArtifactBuffer {
 public:
  ArtifactBuffer() = default;
  ArtifactBuffer(ArtifactBuffer&& other) noexcept;
  ArtifactBuffer& operator=(ArtifactBuffer&& other) noexcept;
  ArtifactBuffer(const ArtifactBuffer&) = delete;
  ArtifactBuffer& operator=(const ArtifactBuffer&) = delete;
  ~ArtifactBuffer();

  std::string_view bytes() const { return {data_, size_}; }
  // Releases the memory early; bytes() is empty afterwards.
  void reset();

 private:
  friend Result<ArtifactBuffer> read_artifact(const std::string& path, std::string message);
  char* data_ = nullptr;
  size_t size_ = 0;      // bytes read
  size_t capacity_ = 0;  // bytes mapped
};

// Opens the file non-blocking and reads it to its end. Anything but a
// regular file is refused without blocking (a FIFO, a device), as read_file
// does, with the same causes. `message` is the error message on failure.
Result<ArtifactBuffer> read_artifact(const std::string& path, std::string message);

}  // namespace velk
