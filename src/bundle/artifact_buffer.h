// The bundle file read whole into memory of this process's own. Reading
// (rather than mapping the file) makes the bytes that are hashed the bytes
// that are validated, whatever another process does to the file meanwhile,
// and a file shortened under the reader can never fault it. The buffer is an
// anonymous mapping advised for huge pages: for a 64 MiB artifact, faulting
// in fresh small pages would cost more than reading and hashing the bytes.
// Private to the bundle folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/fs.h"

namespace velk {

// The bundle file, opened and looked at, not yet read.
struct OpenedArtifact {
  Fd fd;
  uint64_t size = 0;  // what fstat says
};

// Opens the file non-blocking; anything but a regular file is refused
// without blocking (a FIFO, a device), as read_file does, with the same
// causes. `message` is the error message on failure.
Result<OpenedArtifact> open_artifact(const std::string& path, std::string message);

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
  friend Result<ArtifactBuffer> read_artifact(OpenedArtifact& opened, std::string message);
  char* data_ = nullptr;
  size_t size_ = 0;      // bytes read
  size_t capacity_ = 0;  // bytes mapped
};

// Reads exactly the size the file had when it was opened, so a file that
// claims little can never make the reader take more. A file that grew or
// shrank meanwhile is refused: `message` with the cause "the file changed
// size while it was read".
Result<ArtifactBuffer> read_artifact(OpenedArtifact& opened, std::string message);

}  // namespace velk
