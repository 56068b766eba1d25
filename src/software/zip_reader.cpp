#include "software/zip_reader.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "archive/zip_records.h"
#include "core/fs.h"
#include "core/text.h"

namespace velk {

namespace {

constexpr size_t kTailSize = kZipEndSize + 65535;
constexpr size_t kBufferSize = 64 * 1024;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDataDescriptor = 0x0008;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint8_t kHostUnix = 3;

// Positions the file and reads exactly `size` bytes. Returns the count read
// (short at the file's end) or the errno; `seek_failed` tells which step
// failed.
Result<size_t, int> read_at(int fd, uint64_t offset, void* out, size_t size, bool* seek_failed) {
  *seek_failed = false;
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    *seek_failed = true;
    return errno;
  }
  return read_up_to(fd, out, size);
}

// A central directory entry: its fixed header and its name.
struct CentralEntry {
  ZipCentralHeader header;
  std::string name;
};

// Sequential reading of the central directory in buffered steps; entry
// extraction moves the file position in between, so every refill positions
// the file first.
class DirectoryCursor {
 public:
  DirectoryCursor(int fd, uint64_t offset, uint64_t size)
      : fd_(fd), offset_(offset), left_(size), buffer_(new unsigned char[kBufferSize]) {}

  uint64_t remaining() const { return left_ + (len_ - pos_); }

  // Copies exactly `size` bytes (the caller checked remaining()).
  Status take(unsigned char* out, size_t size) {
    while (size > 0) {
      if (pos_ == len_) VELK_TRY(refill());
      const size_t step = std::min(size, len_ - pos_);
      std::copy(buffer_.get() + pos_, buffer_.get() + pos_ + step, out);
      pos_ += step;
      out += step;
      size -= step;
    }
    return {};
  }

 private:
  Status refill() {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left_, kBufferSize));
    bool seek_failed = false;
    auto got = read_at(fd_, offset_, buffer_.get(), want, &seek_failed);
    if (!got.ok())
      return extract_system_error(seek_failed ? "zip central directory could not be reached"
                                              : "zip central directory could not be read",
                                  got.error());
    if (*got < want || want == 0) return extract_error("zip central directory ends early");
    offset_ += want;
    left_ -= want;
    pos_ = 0;
    len_ = want;
    return {};
  }

  int fd_;
  uint64_t offset_;
  uint64_t left_;
  std::unique_ptr<unsigned char[]> buffer_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

class ZipExtractor {
 public:
  ZipExtractor(int fd, ExtractTarget& target)
      : fd_(fd),
        target_(target),
        input_(new unsigned char[kBufferSize]),
        output_(new unsigned char[kBufferSize]) {}

  Status run() {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return extract_system_error("zip length could not be read", errno);
    file_size_ = static_cast<uint64_t>(st.st_size);
    VELK_TRY(find_end_record());
    DirectoryCursor cursor(fd_, directory_offset_, directory_size_);
    for (uint64_t i = 0; i < entry_count_; ++i) {
      VELK_ASSIGN(const CentralEntry entry, read_central_entry(cursor));
      VELK_TRY(extract_entry(entry));
    }
    return {};
  }

 private:
  Status find_end_record() {
    const size_t tail_size = static_cast<size_t>(std::min<uint64_t>(file_size_, kTailSize));
    const uint64_t tail_offset = file_size_ - tail_size;
    std::vector<unsigned char> tail(tail_size);
    bool seek_failed = false;
    auto got = read_at(fd_, tail_offset, tail.data(), tail_size, &seek_failed);
    if (!got.ok())
      return extract_system_error(
          seek_failed ? "zip tail could not be reached" : "zip tail could not be read", got.error());
    if (*got < tail_size) return extract_error("zip tail could not be read");
    // The last signature whose record, comment included, fits in the file.
    for (size_t at = tail_size >= kZipEndSize ? tail_size - kZipEndSize + 1 : 0; at-- > 0;) {
      const unsigned char* p = tail.data() + at;
      const std::optional<ZipEndRecord> end = decode_zip_end(p);
      if (!end || at + kZipEndSize + end->comment_length > tail_size) continue;
      return read_end_record(*end, tail_offset + at, at >= 20 ? p - 20 : nullptr);
    }
    return extract_error("not a zip archive: no end-of-central-directory record");
  }

  Status read_end_record(const ZipEndRecord& end, uint64_t end_offset,
                         const unsigned char* locator) {
    const uint16_t disk = end.disk;
    const uint16_t directory_disk = end.central_disk;
    const uint16_t disk_entries = end.entries_on_disk;
    const uint16_t entries = end.total_entries;
    const uint32_t size = end.central_size;
    const uint32_t offset = end.central_offset;
    if ((locator && zip_u32(locator) == kZip64LocatorSignature) || disk == 0xFFFF ||
        directory_disk == 0xFFFF || disk_entries == 0xFFFF || entries == 0xFFFF ||
        size == 0xFFFFFFFF || offset == 0xFFFFFFFF)
      return extract_error("zip uses the Zip64 format, which this reader does not accept");
    if (disk != 0 || directory_disk != 0 || disk_entries != entries)
      return extract_error("zip spans multiple disks");
    if (offset > end_offset || size > end_offset - offset)
      return extract_error("zip central directory is implausibly large");
    directory_offset_ = offset;
    directory_size_ = size;
    entry_count_ = entries;
    return {};
  }

  Result<CentralEntry> read_central_entry(DirectoryCursor& cursor) {
    unsigned char bytes[kZipCentralSize];
    if (cursor.remaining() < kZipCentralSize)
      return extract_error("zip central directory ends early");
    VELK_TRY(cursor.take(bytes, kZipCentralSize));
    const std::optional<ZipCentralHeader> h = decode_zip_central(bytes);
    if (!h) return extract_error("zip central directory header is malformed");
    const uint16_t flags = h->flags;
    if (flags & (kFlagEncrypted | kFlagStrongEncryption))
      return extract_error("zip entry is encrypted");
    if (flags & kFlagDataDescriptor)
      return extract_error("zip entry carries a data descriptor, whose sizes this reader will not "
                           "trust");
    CentralEntry entry;
    entry.header = *h;
    const uint16_t name_length = h->name_length;
    const uint16_t extra_length = h->extra_length;
    const uint16_t comment_length = h->comment_length;
    const uint16_t start_disk = h->disk_start;

    if (cursor.remaining() < name_length) return extract_error("zip entry name is truncated");
    entry.name.resize(name_length);
    VELK_TRY(cursor.take(reinterpret_cast<unsigned char*>(entry.name.data()), name_length));
    if (cursor.remaining() < uint64_t{extra_length} + comment_length)
      return extract_error("zip record ends inside a field");
    std::vector<unsigned char> extra(extra_length);
    VELK_TRY(cursor.take(extra.data(), extra.size()));
    bool zip64 = entry.header.compressed_size == 0xFFFFFFFF || entry.header.size == 0xFFFFFFFF ||
                 entry.header.local_offset == 0xFFFFFFFF || start_disk == 0xFFFF;
    for (size_t at = 0; at < extra.size();) {
      if (extra.size() - at < 4) return extract_error("zip record ends inside a field");
      const uint16_t id = zip_u16(extra.data() + at);
      const uint16_t length = zip_u16(extra.data() + at + 2);
      if (extra.size() - at - 4 < length) return extract_error("zip record ends inside a field");
      if (id == kZip64ExtraId) zip64 = true;
      at += 4 + size_t{length};
    }
    std::vector<unsigned char> comment(comment_length);
    VELK_TRY(cursor.take(comment.data(), comment.size()));
    if (zip64)
      return extract_error("zip entry uses a Zip64 extended field, which this reader does not "
                           "accept");
    if (!is_valid_utf8(entry.name)) return extract_error("zip entry name is not valid UTF-8");
    if (entry.header.method != 0 && entry.header.method != 8)
      return extract_error(entry.name + " uses zip compression method " +
                           std::to_string(entry.header.method) +
                           ", and this reader accepts only stored and deflate");
    return entry;
  }

  // Archive bits when a Unix tool made the entry; rw-r--r-- otherwise.
  static uint32_t permission_bits(const CentralEntry& entry) {
    const uint32_t bits = (entry.header.external_attributes >> 16) & 0777;
    return entry.header.made_by_host == kHostUnix && bits != 0 ? bits : 0644;
  }

  Status extract_entry(const CentralEntry& entry) {
    VELK_ASSIGN(const EntryPath path, target_.admit(entry.name));
    if (!entry.name.empty() && entry.name.back() == '/') return target_.make_directory(path);
    VELK_ASSIGN(const uint64_t body, body_offset(entry));
    VELK_ASSIGN(OutputFile out,
                target_.create_file(path, entry.header.size, "zip entry could not be written"));
    if (entry.header.method == 0)
      VELK_TRY(copy_stored(entry, body, out));
    else
      VELK_TRY(inflate_entry(entry, body, out));
    return target_.finish_file(out, permission_bits(entry));
  }

  Result<uint64_t> body_offset(const CentralEntry& entry) {
    unsigned char bytes[kZipLocalSize];
    bool seek_failed = false;
    auto got = read_at(fd_, entry.header.local_offset, bytes, kZipLocalSize, &seek_failed);
    if (!got.ok()) return extract_system_error("zip local header could not be read", got.error());
    if (*got < kZipLocalSize) return extract_error("zip local header could not be read");
    const std::optional<ZipLocalHeader> h = decode_zip_local(bytes);
    if (!h) return extract_error(entry.name + " does not start with a local file header");
    const uint64_t body = entry.header.local_offset + kZipLocalSize + h->name_length + h->extra_length;
    if (body > file_size_) return extract_error("zip entry body could not be reached");
    return body;
  }

  Error size_mismatch(const CentralEntry& entry, uint64_t produced) {
    return extract_error(entry.name + " is " + std::to_string(produced) +
                         " bytes and the archive states " + std::to_string(entry.header.size));
  }

  // Reads the next piece of the entry's stored bytes at `*offset`; 0 when
  // the file ends.
  Result<size_t> read_body(uint64_t* offset, uint64_t left) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kBufferSize));
    bool seek_failed = false;
    auto got = read_at(fd_, *offset, input_.get(), want, &seek_failed);
    if (!got.ok())
      return extract_system_error(seek_failed ? "zip entry body could not be reached"
                                              : "zip entry body could not be read",
                                  got.error());
    *offset += *got;
    return *got;
  }

  Status copy_stored(const CentralEntry& entry, uint64_t offset, OutputFile& out) {
    if (entry.header.compressed_size != entry.header.size) return size_mismatch(entry, entry.header.compressed_size);
    uint64_t produced = 0;
    while (produced < entry.header.size) {
      VELK_ASSIGN(const size_t n, read_body(&offset, entry.header.size - produced));
      if (n == 0) return size_mismatch(entry, produced);
      VELK_TRY(out.write(input_.get(), n));
      produced += n;
    }
    return {};
  }

  Status inflate_entry(const CentralEntry& entry, uint64_t offset, OutputFile& out) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
      return extract_error("zip entry's DEFLATE stream is malformed: inflate could not start");
    struct Ender {
      z_stream* z;
      ~Ender() { inflateEnd(z); }
    } ender{&z};
    uint64_t input_left = entry.header.compressed_size;
    uint64_t produced = 0;
    for (;;) {
      if (z.avail_in == 0) {
        if (input_left == 0) return extract_error("zip entry ended before its DEFLATE stream did");
        VELK_ASSIGN(const size_t n, read_body(&offset, input_left));
        if (n == 0) return extract_error("zip entry ended before its DEFLATE stream did");
        input_left -= n;
        z.next_in = input_.get();
        z.avail_in = static_cast<uInt>(n);
      }
      z.next_out = output_.get();
      z.avail_out = static_cast<uInt>(kBufferSize);
      const int rc = inflate(&z, Z_NO_FLUSH);
      if (rc == Z_DATA_ERROR)
        return extract_error(std::string("zip entry's DEFLATE stream is malformed: ") +
                             (z.msg ? z.msg : "invalid data"));
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
        return extract_error("zip entry's DEFLATE stream is malformed: inflate failed");
      const size_t n = kBufferSize - z.avail_out;
      produced += n;
      // Stop at the first byte past the stated size: the limits were
      // charged with that size.
      if (produced > entry.header.size) return size_mismatch(entry, produced);
      VELK_TRY(out.write(output_.get(), n));
      if (rc == Z_STREAM_END) break;
    }
    if (produced != entry.header.size) return size_mismatch(entry, produced);
    return {};
  }

  int fd_;
  ExtractTarget& target_;
  std::unique_ptr<unsigned char[]> input_;
  std::unique_ptr<unsigned char[]> output_;
  uint64_t file_size_ = 0;
  uint64_t directory_offset_ = 0;
  uint64_t directory_size_ = 0;
  uint64_t entry_count_ = 0;
};

}  // namespace

Status extract_zip(int fd, ExtractTarget& target) { return ZipExtractor(fd, target).run(); }

}  // namespace velk
