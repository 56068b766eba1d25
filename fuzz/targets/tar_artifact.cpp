// The tar reader of software artifacts, with the checks of
// support/extraction.h. The input is the tar stream itself, compressed here
// into a gzip member so that mutations reach the tar reader (gzip_artifact
// fuzzes that layer). The mutator mostly restates every header's checksum,
// so that a changed header is judged on what changed.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "support/extraction.h"

namespace {

constexpr size_t kBlock = 512;

std::string gzip(std::string_view input) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    fail("deflateInit2", "");
  std::string out(deflateBound(&z, input.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) fail("deflate", "");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// The size field read leniently: octal digits after spaces, up to the
// first other byte; anything unreadable is 0.
uint64_t entry_size(const uint8_t* header) {
  uint64_t value = 0;
  size_t i = 0;
  while (i < 12 && header[124 + i] == ' ') ++i;
  for (; i < 12 && header[124 + i] >= '0' && header[124 + i] <= '7'; ++i)
    value = (value << 3) | (header[124 + i] - '0');
  return value;
}

void restate_checksums(uint8_t* data, size_t size) {
  size_t at = 0;
  while (at + kBlock <= size) {
    uint8_t* header = data + at;
    if (std::all_of(header, header + kBlock, [](uint8_t b) { return b == 0; })) return;
    unsigned sum = 0;
    for (size_t i = 0; i < kBlock; ++i) sum += (i >= 148 && i < 156) ? ' ' : header[i];
    char field[9];
    std::snprintf(field, sizeof field, "%06o", sum & 0777777);
    std::memcpy(header + 148, field, 6);
    header[154] = 0;
    header[155] = ' ';
    const uint64_t data_size = entry_size(header);
    const uint64_t blocks = (data_size + kBlock - 1) / kBlock;
    if (blocks > (size - at) / kBlock) return;
    at += kBlock + blocks * kBlock;
  }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  std::minstd_rand rng(seed);
  size = LLVMFuzzerMutate(data, size, max_size);
  if (rng() % 8 != 0) restate_checksums(data, size);
  return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string compressed = gzip(as_text(data, size));
  extract_and_check(input_file(compressed), ArtifactForm::tar_gzip, compressed.size());
  return 0;
}
