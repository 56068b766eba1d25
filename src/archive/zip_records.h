// The fixed-size records of a ZIP archive, decoded from their bytes: the
// end of the central directory, a central directory header and a local
// file header. Both readers of ZIP archives decode with these and then
// apply their own rules: the strict bundle container and the permissive
// software artifact reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velk {

inline constexpr uint32_t kZipEndSignature = 0x06054b50;
inline constexpr uint32_t kZipCentralSignature = 0x02014b50;
inline constexpr uint32_t kZipLocalSignature = 0x04034b50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr size_t kZipEndSize = 22;
inline constexpr size_t kZipCentralSize = 46;
inline constexpr size_t kZipLocalSize = 30;

struct ZipEndRecord {
  uint16_t disk = 0;
  uint16_t central_disk = 0;
  uint16_t entries_on_disk = 0;
  uint16_t total_entries = 0;
  uint32_t central_size = 0;
  uint32_t central_offset = 0;
  uint16_t comment_length = 0;
};

// The fields a central header and a local header share, in the same order.
struct ZipEntryFields {
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t time = 0;
  uint16_t date = 0;
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
};

struct ZipCentralHeader : ZipEntryFields {
  uint8_t made_by_version = 0;
  uint8_t made_by_host = 0;  // 3 for a Unix creator
  uint16_t comment_length = 0;
  uint16_t disk_start = 0;
  uint16_t internal_attributes = 0;
  uint32_t external_attributes = 0;
  uint32_t local_offset = 0;
};

struct ZipLocalHeader : ZipEntryFields {};

// Little-endian fields.
inline uint16_t zip_u16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t zip_u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Each decodes a record from bytes that hold at least its fixed size and
// begin with its signature; nullopt when the signature is another.
std::optional<ZipEndRecord> decode_zip_end(const unsigned char* bytes);
std::optional<ZipCentralHeader> decode_zip_central(const unsigned char* bytes);
std::optional<ZipLocalHeader> decode_zip_local(const unsigned char* bytes);

}  // namespace velk
