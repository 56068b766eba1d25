// A streaming reader of one gzip member: the header is checked when the
// reader starts, the raw DEFLATE data is inflated on demand into the caller's
// buffer, and the trailer's CRC-32 and length are checked at the end.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>

#include "core/error.h"

namespace velk {

class GzipReader {
 public:
  // `budget` bounds every byte the member inflates to, whatever reads it
  // (archive headers, padding and what follows the archive's end included).
  explicit GzipReader(int fd, uint64_t budget = UINT64_MAX);
  ~GzipReader();
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  // Reads and checks the header up to the start of the DEFLATE data.
  Status start();
  // Inflates up to `size` bytes; 0 once the DEFLATE data has ended. A
  // failure to read the file carries its errno (sys_errno); a malformed
  // member carries none.
  Result<size_t> read(void* out, size_t size);
  // Inflates whatever is left, then checks the trailer.
  Status finish();

 private:
  // Makes at least one unread input byte available; false at the file's end.
  Result<bool> fill();
  Result<bool> read_byte(unsigned char* byte);
  // Reads exactly `size` header bytes, or fails with `message`.
  Status read_header_bytes(unsigned char* out, size_t size, const char* message);
  Status skip_header_bytes(uint64_t size, const char* message);
  Status skip_zero_terminated(const char* message);

  static constexpr size_t kInputSize = 64 * 1024;

  int fd_;
  std::unique_ptr<unsigned char[]> input_;
  size_t input_pos_ = 0;
  size_t input_len_ = 0;
  z_stream z_{};
  bool z_ready_ = false;
  bool ended_ = false;
  uint32_t crc_ = 0;
  uint64_t count_ = 0;
  uint64_t budget_;
};

}  // namespace velk
