#include "archive/zip_records.h"

namespace velk {

std::optional<ZipEndRecord> decode_zip_end(const unsigned char* p) {
  if (zip_u32(p) != kZipEndSignature) return std::nullopt;
  ZipEndRecord r;
  r.disk = zip_u16(p + 4);
  r.central_disk = zip_u16(p + 6);
  r.entries_on_disk = zip_u16(p + 8);
  r.total_entries = zip_u16(p + 10);
  r.central_size = zip_u32(p + 12);
  r.central_offset = zip_u32(p + 16);
  r.comment_length = zip_u16(p + 20);
  return r;
}

std::optional<ZipCentralHeader> decode_zip_central(const unsigned char* p) {
  if (zip_u32(p) != kZipCentralSignature) return std::nullopt;
  ZipCentralHeader h;
  h.made_by_version = p[4];
  h.made_by_host = p[5];
  h.version_needed = zip_u16(p + 6);
  h.flags = zip_u16(p + 8);
  h.method = zip_u16(p + 10);
  h.time = zip_u16(p + 12);
  h.date = zip_u16(p + 14);
  h.crc = zip_u32(p + 16);
  h.compressed_size = zip_u32(p + 20);
  h.size = zip_u32(p + 24);
  h.name_length = zip_u16(p + 28);
  h.extra_length = zip_u16(p + 30);
  h.comment_length = zip_u16(p + 32);
  h.disk_start = zip_u16(p + 34);
  h.internal_attributes = zip_u16(p + 36);
  h.external_attributes = zip_u32(p + 38);
  h.local_offset = zip_u32(p + 42);
  return h;
}

std::optional<ZipLocalHeader> decode_zip_local(const unsigned char* p) {
  if (zip_u32(p) != kZipLocalSignature) return std::nullopt;
  ZipLocalHeader h;
  h.version_needed = zip_u16(p + 4);
  h.flags = zip_u16(p + 6);
  h.method = zip_u16(p + 8);
  h.time = zip_u16(p + 10);
  h.date = zip_u16(p + 12);
  h.crc = zip_u32(p + 14);
  h.compressed_size = zip_u32(p + 18);
  h.size = zip_u32(p + 22);
  h.name_length = zip_u16(p + 26);
  h.extra_length = zip_u16(p + 28);
  return h;
}

}  // namespace velk
