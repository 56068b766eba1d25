// Bundles built to make the reader take memory or time out of proportion to
// their size: a central directory that lists one large member thousands of
// times, and a file far larger than the claim that names it. Each is refused
// in bounded memory and time, measured in a child (generous bounds: what
// matters is that they do not grow with the hostile part).
#include <fcntl.h>
#include <unistd.h>

#include "archive/zip_records.h"
#include "bundle/container.h"
#include "bundle_fixture.h"
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
void put16(std::string& s, size_t at, uint16_t v) {
  s[at] = char(v);
  s[at + 1] = char(v >> 8);
}
void put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = char(v >> (8 * i));
}

// The archive's bytes with the central record of its last member repeated
// `copies` more times, each optionally renamed by `rename` (same length).
std::string repeat_last_member(const std::string& zip, int copies,
                               const std::function<std::string(int)>& rename = {}) {
  const size_t end = zip.size() - kZipEndSize;
  const uint32_t central = u32_at(zip, end + 16);
  const uint16_t total = u16_at(zip, end + 10);
  // Walk to the last central record.
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
  put16(tail, 8, static_cast<uint16_t>(total + copies));
  put16(tail, 10, static_cast<uint16_t>(total + copies));
  put32(tail, 12, static_cast<uint32_t>(out.size() - central));
  return out + tail;
}

class HostileBundle : public BundleTest {
 protected:
  // Reads the bytes as a bundle in a child; returns the refusal's detail.
  std::string refused(const std::string& bytes) {
    const std::string detail_file = dir_ / "detail";
    const std::string artifact = dir_ / "hostile.zip";
    write_text(artifact, bytes);
    const BundleClaim claim{artifact, "ai-stp-bundle/2", std::string(64, '0'),
                            digest_bytes(bytes), bytes.size()};
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
  {
    const int fd = ::open(artifact.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{2} << 30), 0);
    ::close(fd);
  }
  for (const uint64_t claimed : {uint64_t{100}, uint64_t{2} << 30}) {
    const std::string detail_file = dir_ / "detail";
    const ChildUsage usage = run_measured([&] {
      const BundleClaim claim{artifact, "ai-stp-bundle/2", std::string(64, '0'),
                              "sha256:" + std::string(64, '0'), claimed};
      auto read = read_bundle(claim, RequestedScope::none);
      write_text(detail_file, read.ok() ? "(valid)" : read.error().message);
      return 0;
    });
    EXPECT_LT(usage.max_rss_kib, kMemoryBoundKib);
    EXPECT_LT(usage.cpu_seconds, kTimeBoundSeconds);
    EXPECT_EQ(read_text(detail_file),
              claimed == 100 ? "the artifact is 2147483648 bytes, not 100"
                             : "the artifact is 2147483648 bytes against a limit of 67108864");
  }
}

}  // namespace
}  // namespace velk::testing
