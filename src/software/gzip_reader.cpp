#include "software/gzip_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "core/fs.h"
#include "software/extract_target.h"

namespace velk {

namespace {

constexpr unsigned char kFlagHeaderCrc = 0x02;
constexpr unsigned char kFlagExtra = 0x04;
constexpr unsigned char kFlagName = 0x08;
constexpr unsigned char kFlagComment = 0x10;
constexpr unsigned char kFlagsReserved = 0xE0;

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string binary8(unsigned char value) {
  std::string out = "0b";
  for (int bit = 7; bit >= 0; --bit) out += (value >> bit) & 1 ? '1' : '0';
  return out;
}

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

GzipReader::GzipReader(int fd, uint64_t budget)
    : fd_(fd), input_(new unsigned char[kInputSize]), budget_(budget) {}

GzipReader::~GzipReader() {
  if (z_ready_) inflateEnd(&z_);
}

Result<bool> GzipReader::fill() {
  if (input_pos_ < input_len_) return true;
  const ssize_t n = retry_eintr([&] { return ::read(fd_, input_.get(), kInputSize); });
  if (n < 0) return extract_system_error("artifact could not be read", errno);
  input_pos_ = 0;
  input_len_ = static_cast<size_t>(n);
  return n > 0;
}

Result<bool> GzipReader::read_byte(unsigned char* byte) {
  VELK_ASSIGN(const bool more, fill());
  if (!more) return false;
  *byte = input_[input_pos_++];
  return true;
}

Status GzipReader::read_header_bytes(unsigned char* out, size_t size, const char* message) {
  for (size_t i = 0; i < size; ++i) {
    auto got = read_byte(out + i);
    if (!got.ok()) return caused_by(ErrorKind::state_unavailable, message, got.error());
    if (!*got) return extract_error(message);
  }
  return {};
}

Status GzipReader::skip_header_bytes(uint64_t size, const char* message) {
  while (size > 0) {
    auto more = fill();
    if (!more.ok()) return caused_by(ErrorKind::state_unavailable, message, more.error());
    if (!*more) return extract_error(message);
    const uint64_t step = std::min<uint64_t>(size, input_len_ - input_pos_);
    input_pos_ += static_cast<size_t>(step);
    size -= step;
  }
  return {};
}

Status GzipReader::skip_zero_terminated(const char* message) {
  for (;;) {
    unsigned char byte = 0;
    VELK_TRY(read_header_bytes(&byte, 1, message));
    if (byte == 0) return {};
  }
}

Status GzipReader::start() {
  unsigned char header[10];
  VELK_TRY(read_header_bytes(header, sizeof header, "gzip header could not be read"));
  if (header[0] != 0x1F || header[1] != 0x8B) {
    char text[64];
    std::snprintf(text, sizeof text, "not a gzip member: magic 0x%02x%02x", header[0], header[1]);
    return extract_error(text);
  }
  if (header[2] != 8)
    return extract_error("gzip compression method " + std::to_string(header[2]) +
                         " is not DEFLATE");
  const unsigned char flags = header[3];
  if (flags & kFlagsReserved)
    return extract_error("gzip reserved flag bits set: " + binary8(flags));
  if (flags & kFlagExtra) {
    unsigned char length[2];
    VELK_TRY(read_header_bytes(length, 2, "gzip extra field length could not be read"));
    VELK_TRY(skip_header_bytes(length[0] | length[1] << 8, "gzip extra field could not be read"));
  }
  if (flags & kFlagName) VELK_TRY(skip_zero_terminated("gzip name field could not be read"));
  if (flags & kFlagComment)
    VELK_TRY(skip_zero_terminated("gzip comment field could not be read"));
  if (flags & kFlagHeaderCrc) {
    // Read past, not verified: the artifact's digest was checked already.
    unsigned char crc[2];
    VELK_TRY(read_header_bytes(crc, 2, "gzip header checksum could not be read"));
  }
  if (inflateInit2(&z_, -15) != Z_OK)
    return extract_error("gzip DEFLATE stream could not be started");
  z_ready_ = true;
  crc_ = static_cast<uint32_t>(crc32(0, nullptr, 0));
  return {};
}

Result<size_t> GzipReader::read(void* out, size_t size) {
  if (ended_ || size == 0) return size_t{0};
  // One byte past the budget is enough to know it is exceeded (an
  // unbounded reader asks for what fits the buffer).
  const uint64_t left = budget_ - count_;
  const uint64_t allowed = left == UINT64_MAX ? left : left + 1;
  z_.next_out = static_cast<Bytef*>(out);
  z_.avail_out = static_cast<uInt>(std::min<uint64_t>({uint64_t{size}, uint64_t{1} << 30, allowed}));
  const uInt wanted = z_.avail_out;
  while (z_.avail_out == wanted) {
    VELK_ASSIGN(const bool more, fill());
    if (!more) return extract_error("gzip stream ended before the DEFLATE data did");
    z_.next_in = input_.get() + input_pos_;
    z_.avail_in = static_cast<uInt>(input_len_ - input_pos_);
    const int rc = inflate(&z_, Z_NO_FLUSH);
    input_pos_ = input_len_ - z_.avail_in;
    if (rc == Z_STREAM_END) {
      ended_ = true;
      break;
    }
    if (rc == Z_DATA_ERROR)
      return extract_error(std::string("gzip DEFLATE stream is malformed: ") +
                           (z_.msg ? z_.msg : "invalid data"));
    if (rc != Z_OK && rc != Z_BUF_ERROR)
      return extract_error("gzip DEFLATE stream could not be inflated");
  }
  const size_t produced = wanted - z_.avail_out;
  if (produced > budget_ - count_)
    return extract_error("archive inflates past the " + std::to_string(budget_) +
                         " bytes this extraction allows");
  crc_ = static_cast<uint32_t>(crc32(crc_, static_cast<const Bytef*>(out),
                                     static_cast<uInt>(produced)));
  count_ += produced;
  return produced;
}

Status GzipReader::finish() {
  unsigned char scratch[16 * 1024];
  while (!ended_) {
    VELK_ASSIGN(const size_t n, read(scratch, sizeof scratch));
    (void)n;
  }
  unsigned char trailer[8];
  VELK_TRY(read_header_bytes(trailer, sizeof trailer, "gzip trailer is truncated"));
  const uint32_t stated_crc = le32(trailer);
  if (stated_crc != crc_)
    return extract_error("gzip CRC-32 mismatch: stated " + hex32(stated_crc) + ", inflated " +
                         hex32(crc_));
  const uint32_t stated_length = le32(trailer + 4);
  if (stated_length != static_cast<uint32_t>(count_))
    return extract_error("gzip length mismatch: stated " + std::to_string(stated_length) +
                         ", inflated " + std::to_string(count_));
  return {};
}

}  // namespace velk
