// Bundles built to cost the reader memory or time out of proportion to their size, refused in
// a child whose generous bounds only show that the cost does not grow with the hostile part.
#include <unistd.h>

#include "archive/zip_records.h"
#include "bundle/container.h"
#include "support/bundle_fixture.h"
#include "core/digest.h"
#include "support/usage.h"

namespace velk::testing {
namespace {

constexpr long kMemoryBoundKib = 128 * 1024;
constexpr double kTimeBoundSeconds = 15;

uint16_t u16_at(const std::string& s, size_t at) {
  return zip_u16(reinterpret_cast<const unsigned char*>(s.data()) + at);
}
uint32_t u32_at(const std::string& s, size_t at) {
  return zip_u32(reinterpret_cast<const unsigned char*>(s.data()) + at);
}
void put(std::string& s, size_t at, uint32_t v, int width) {
  for (int i = 0; i < width; ++i) s[at + i] = char(v >> (8 * i));
}

// The archive's bytes with the central record of its last member repeated
// `copies` more times, each optionally renamed by `rename` (same length).
std::string repeat_last_member(const std::string& zip, int copies,
                               const std::function<std::string(int)>& rename = {}) {
  const size_t end = zip.size() - kZipEndSize;
  const uint32_t central = u32_at(zip, end + 16);
  const uint16_t total = u16_at(zip, end + 10);
  size_t at = central, last = central;
  for (uint16_t i = 0; i < total; ++i) {
    last = at;
    at += kZipCentralSize + u16_at(zip, at + 28) + u16_at(zip, at + 30) + u16_at(zip, at + 32);
  }
  const std::string record = zip.substr(last, at - last);
  std::string out = zip.substr(0, end);
  for (int i = 0; i < copies; ++i) {
    std::string copy = record;
    if (rename) copy.replace(kZipCentralSize, rename(i).size(), rename(i));
    out += copy;
  }
  std::string tail = zip.substr(end);
  put(tail, 8, total + copies, 2);
  put(tail, 10, total + copies, 2);
  put(tail, 12, static_cast<uint32_t>(out.size() - central), 4);
  return out + tail;
}

class HostileBundle : public BundleTest {
 protected:
  // The refusal of the claimed file, read in a child whose usage is checked.
  std::string refused(const BundleClaim& claim) {
    const std::string detail_file = dir_ / "detail";
    const ChildUsage usage = run_measured([&] {
      auto read = read_bundle(claim, RequestedScope::none);
      write_text(detail_file, read.ok() ? "(valid)" : read.error().message);
      return 0;
    });
    EXPECT_EQ(usage.exit_code, 0);
    EXPECT_LT(usage.max_rss_kib, kMemoryBoundKib);
    EXPECT_LT(usage.cpu_seconds, kTimeBoundSeconds);
    return read_text(detail_file);
  }
  std::string refused(const std::string& bytes) {
    const std::string artifact = dir_ / "hostile.zip";
    write_text(artifact, bytes);
    return refused(BundleClaim{artifact, "ai-stp-bundle/2", std::string(64, '0'),
                               digest_bytes(bytes), bytes.size()});
  }
};

TEST_F(HostileBundle, OneLargeMemberListedThousandsOfTimesIsRefusedBeforeItsBytesAreCopied) {
  auto files = sample_files();
  files["skills/zz/data.bin"] = {std::string(1 << 20, 'x')};
  const std::string zip = make_bundle(files).bytes();
  // The same member under its own name 2,000 times: a duplicate.
  EXPECT_EQ(refused(repeat_last_member(zip, 2000)),
            "member \"files/skills/zz/data.bin\" appears twice");
  // Under names of the same length that its local header does not carry.
  EXPECT_EQ(refused(repeat_last_member(zip, 2000,
                                       [](int i) {
                                         char name[8];
                                         std::snprintf(name, sizeof name, "%07d", i);
                                         return std::string(name);
                                       })),
            "member \"0000000kills/zz/data.bin\" is named differently in its local header");
}

TEST_F(HostileBundle, AFileLargerThanItsClaimIsNeverRead) {
  // 2 GiB of holes, claimed as 100 bytes and then as its own size.
  const std::string artifact = dir_ / "sparse.zip";
  write_text(artifact, "");
  ASSERT_EQ(::truncate(artifact.c_str(), off_t{2} << 30), 0);
  const auto claim = [&](uint64_t claimed) {
    return BundleClaim{artifact, "ai-stp-bundle/2", std::string(64, '0'),
                       "sha256:" + std::string(64, '0'), claimed};
  };
  EXPECT_EQ(refused(claim(100)), "the artifact is 2147483648 bytes, not 100");
  EXPECT_EQ(refused(claim(uint64_t{2} << 30)),
            "the artifact is 2147483648 bytes against a limit of 67108864");
}

}  // namespace
}  // namespace velk::testing
