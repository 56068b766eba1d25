#include "support/bundle_zip.h"

#include <sys/stat.h>
#include <zlib.h>

namespace velk::fuzz {
namespace {

// Appends `v` as `bytes` bytes, little-endian.
void put(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t crc_of(std::string_view data) {
  return static_cast<uint32_t>(::crc32_z(::crc32_z(0L, Z_NULL, 0),
                                         reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

// The fields the local and the central header share.
void put_common(std::string& out, const ZipMember& m) {
  put(out, 20, 2);
  out.append(6, '\0');  // flags, method, time
  put(out, 0x0021, 2);  // 1980-01-01
  put(out, crc_of(m.bytes), 4);
  put(out, static_cast<uint32_t>(m.bytes.size()), 4);
  put(out, static_cast<uint32_t>(m.bytes.size()), 4);
  put(out, static_cast<uint32_t>(m.name.size()), 2);
  put(out, 0, 2);  // extra field length
}

}  // namespace

std::vector<ZipMember> zip_members(const std::vector<BundleMember>& members) {
  std::vector<ZipMember> out;
  for (const BundleMember& m : members) out.push_back({m.name, std::string(m.bytes), m.mode});
  return out;
}

std::string write_bundle_zip(const std::vector<ZipMember>& members) {
  std::string out;
  std::vector<uint32_t> offsets;
  for (const ZipMember& m : members) {
    offsets.push_back(static_cast<uint32_t>(out.size()));
    put(out, 0x04034B50, 4);
    put_common(out, m);
    out += m.name;
    out += m.bytes;
  }
  const auto central = static_cast<uint32_t>(out.size());
  for (size_t i = 0; i < members.size(); ++i) {
    const ZipMember& m = members[i];
    put(out, 0x02014B50, 4);
    put(out, 0x031E, 2);  // Unix, version 3.0
    put_common(out, m);
    out.append(6, '\0');  // comment length, disk, internal attributes
    put(out, m.mode == 0 ? 0 : (S_IFREG | (m.mode & 07777)) << 16, 4);
    put(out, offsets[i], 4);
    out += m.name;
  }
  const auto central_size = static_cast<uint32_t>(out.size()) - central;
  put(out, 0x06054B50, 4);
  out.append(4, '\0');  // this disk, the central directory's disk
  put(out, static_cast<uint32_t>(members.size()), 2);
  put(out, static_cast<uint32_t>(members.size()), 2);
  put(out, central_size, 4);
  put(out, central, 4);
  put(out, 0, 2);
  return out;
}

}  // namespace velk::fuzz
