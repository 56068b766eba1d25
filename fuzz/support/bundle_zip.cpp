#include "support/bundle_zip.h"

#include <sys/stat.h>
#include <zlib.h>

namespace velk::fuzz {
namespace {

void put16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>((v >> 8) & 0xff);
}

void put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t crc_of(std::string_view data) {
  return static_cast<uint32_t>(::crc32_z(::crc32_z(0L, Z_NULL, 0),
                                         reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

constexpr uint32_t kDate = 0x0021;  // 1980-01-01

// The fields the local and the central header share: version needed, no
// flags, stored, the pinned time, the checksum, both sizes, the name's length
// and no extra field.
void put_common(std::string& out, const ZipMember& m) {
  put16(out, 20);
  put16(out, 0);
  put16(out, 0);
  put16(out, 0);
  put16(out, kDate);
  put32(out, crc_of(m.bytes));
  put32(out, static_cast<uint32_t>(m.bytes.size()));
  put32(out, static_cast<uint32_t>(m.bytes.size()));
  put16(out, static_cast<uint32_t>(m.name.size()));
  put16(out, 0);
}

}  // namespace

std::string write_bundle_zip(const std::vector<ZipMember>& members) {
  std::string out;
  std::vector<uint32_t> offsets;
  for (const ZipMember& m : members) {
    offsets.push_back(static_cast<uint32_t>(out.size()));
    put32(out, 0x04034B50);
    put_common(out, m);
    out += m.name;
    out += m.bytes;
  }
  const auto central = static_cast<uint32_t>(out.size());
  for (size_t i = 0; i < members.size(); ++i) {
    const ZipMember& m = members[i];
    put32(out, 0x02014B50);
    put16(out, 0x031E);  // Unix, version 3.0
    put_common(out, m);
    put16(out, 0);  // comment
    put16(out, 0);  // disk
    put16(out, 0);  // internal attributes
    put32(out, m.mode == 0 ? 0 : (S_IFREG | (m.mode & 07777)) << 16);
    put32(out, offsets[i]);
    out += m.name;
  }
  const auto central_size = static_cast<uint32_t>(out.size()) - central;
  put32(out, 0x06054B50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<uint32_t>(members.size()));
  put16(out, static_cast<uint32_t>(members.size()));
  put32(out, central_size);
  put32(out, central);
  put16(out, 0);
  return out;
}

}  // namespace velk::fuzz
