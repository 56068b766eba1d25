#include "archive/zip_records.h"

namespace velk {

namespace {

void decode_fields(const unsigned char* p, ZipEntryFields& f) {
  f.version_needed = zip_u16(p);
  f.flags = zip_u16(p + 2);
  f.method = zip_u16(p + 4);
  f.time = zip_u16(p + 6);
  f.date = zip_u16(p + 8);
  f.crc = zip_u32(p + 10);
  f.compressed_size = zip_u32(p + 14);
  f.size = zip_u32(p + 18);
  f.name_length = zip_u16(p + 22);
  f.extra_length = zip_u16(p + 24);
}

}  // namespace

std::optional<ZipEndRecord> decode_zip_end(const unsigned char* p) {
  if (zip_u32(p) != kZipEndSignature) return std::nullopt;
  return ZipEndRecord{zip_u16(p + 4),  zip_u16(p + 6),  zip_u16(p + 8), zip_u16(p + 10),
                      zip_u32(p + 12), zip_u32(p + 16), zip_u16(p + 20)};
}

std::optional<ZipCentralHeader> decode_zip_central(const unsigned char* p) {
  if (zip_u32(p) != kZipCentralSignature) return std::nullopt;
  ZipCentralHeader h;
  h.made_by_version = p[4];
  h.made_by_host = p[5];
  decode_fields(p + 6, h);
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
  decode_fields(p + 4, h);
  return h;
}

}  // namespace velk
