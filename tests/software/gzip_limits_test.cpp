// The gzip member around a tar archive, the extraction limits, the program form, the entry point.
#include <zlib.h>

#include <cstdio>

#include "extract_fixture.h"

namespace velk::testing {
namespace {

constexpr ArtifactForm kTgz = ArtifactForm::tar_gzip;

class GzipTest : public ExtractTest {
 protected:
  // A real gzip of a small tar archive, to damage.
  void SetUp() override {
    ExtractTest::SetUp();
    write_text(src("tree/f"), "content\n");
    run("tar --format=gnu -cf a.tar -C tree f && gzip -9 -n -c a.tar > a.tgz");
    tar_ = read_text(src("a.tar"));
    tgz_ = read_text(src("a.tgz"));
  }
  // The refusal of `bytes`; then_reset for damage found once the entry is out.
  std::string failure_of(const std::string& bytes, bool then_reset = false) {
    write_text(src("bad.tgz"), bytes);
    std::string message = failure("bad.tgz", kTgz);
    if (then_reset) reset();
    return message;
  }
  // The member with header flags `flags` and `fields` after the fixed header.
  std::string with_fields(char flags, std::string_view fields) const {
    std::string out = tgz_.substr(0, 10) + std::string(fields);
    out[3] = flags;
    return out;
  }
  std::string tar_, tgz_;
};

std::string le32(uint64_t v) {
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
std::string hex32(uint32_t v) {
  char text[11];
  return std::string(text, std::snprintf(text, sizeof text, "0x%08x", v));
}

TEST_F(GzipTest, HeaderRefusals) {
  std::string magic = tgz_, method = tgz_, reserved = tgz_;
  magic[1] = '\x8c';
  method[2] = 7;
  reserved[3] = '\xe5';  // the whole flag byte is shown
  const std::pair<std::string, std::string> cases[] = {
      {magic, "not a gzip member: magic 0x1f8c"},
      {method, "gzip compression method 7 is not DEFLATE"},
      {reserved, "gzip reserved flag bits set: 0b11100101"},
      {tgz_.substr(0, 9), "gzip header could not be read"},
      {with_fields(0x04, "\x05"), "gzip extra field length could not be read"},
      {with_fields(0x04, std::string_view("\x05\0ab", 4)), "gzip extra field could not be read"},
      {with_fields(0x08, "name"), "gzip name field could not be read"},
      {with_fields(0x10, "comment"), "gzip comment field could not be read"},
      {with_fields(0x02, "\x01"), "gzip header checksum could not be read"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(failure_of(bytes), message);
  EXPECT_TRUE(tree_listing(dest()).empty());
}

TEST_F(GzipTest, TrailerAndStreamDamage) {
  const uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(tar_.data()),
                             static_cast<uInt>(tar_.size()));
  const size_t n = tgz_.size();
  const std::string unclean = "archive did not end cleanly: ";
  EXPECT_EQ(failure_of(tgz_.substr(0, n - 1), true), unclean + "gzip trailer is truncated");
  EXPECT_EQ(failure_of(tgz_.substr(0, n - 8) + le32(crc ^ 1) + tgz_.substr(n - 4), true),
            unclean + "gzip CRC-32 mismatch: stated " + hex32(crc ^ 1) + ", inflated " + hex32(crc));
  EXPECT_EQ(failure_of(tgz_.substr(0, n - 4) + le32(tar_.size() + 3), true),
            unclean + "gzip length mismatch: stated " + std::to_string(tar_.size() + 3) +
                ", inflated " + std::to_string(tar_.size()));
  EXPECT_EQ(failure_of(tgz_.substr(0, 40)), "gzip stream ended before the DEFLATE data did");
  std::string broken = tgz_;
  broken[10] = '\xff';
  const std::string malformed = failure_of(broken);
  EXPECT_TRUE(malformed.rfind("gzip DEFLATE stream is malformed: ", 0) == 0) << malformed;
}

TEST_F(ExtractTest, LimitsFollowTheArtifactLength) {
  // The floor of 64 MiB and 65536 entries is what the limit tests below meet.
  EXPECT_EQ(extraction_limits(10 << 20).max_bytes, 160ull << 20);
  EXPECT_EQ(extraction_limits((1ull << 60) - 1).max_bytes, ((1ull << 60) - 1) * 16);
  EXPECT_EQ(extraction_limits(1ull << 60).max_bytes, 64ull << 20) << "16 x length overflows";
}

TEST_F(ExtractTest, ByteLimitCountsEveryFileAndIsChargedBeforeWriting) {
  // A tiny artifact (limit 64 MiB): 1 MiB, then a file whose stated size,
  // charged before its data is read, reaches the limit or one byte past it.
  craft(R"(
first = entry('first', bytes(1 << 20))
write_tgz('over.tgz', first, header('second', (63 << 20) + 1))
write_tgz('at.tgz', first, header('second', 63 << 20))
)");
  EXPECT_EQ(failure("over.tgz", kTgz),
            "archive inflates past the 67108864 bytes this extraction allows");
  EXPECT_EQ(tree_listing(dest()), Lines{"first"});
  reset();
  EXPECT_EQ(failure("at.tgz", kTgz), "archive ended in the middle of an entry");
}

TEST_F(ExtractTest, EntryLimitCountsEveryEntry) {
  // 65535 directory entries, then the last file allowed and one too many.
  craft("write_tgz('many.tgz', header('d/', flag=b'5') * 65535, entry('f', 'x'), entry('g', 'x'),"
        " END)\n");
  EXPECT_EQ(failure("many.tgz", kTgz),
            "archive holds more than the 65536 entries this extraction allows");
  EXPECT_EQ(tree_listing(dest()), (Lines{"d/", "f"}));
}

TEST_F(ExtractTest, ProgramFormCopiesTheArtifactAsAnExecutable) {
  write_text(src("velk"), read_text(host_artifact("1.0.18")));
  const mode_t old_mask = ::umask(077);
  const uint64_t files = extracted("velk", ArtifactForm::executable);
  ::umask(old_mask);
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(read_text(dest("velk")), read_text(src("velk")));
  EXPECT_EQ(mode_of(dest("velk")), 0755u);
  // The program is created new, never written over what is there.
  EXPECT_EQ(failure("velk", ArtifactForm::executable), "executable could not be written");

  auto missing = extract_artifact(src("absent"), ArtifactForm::executable, dir_of(dest()), 1);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().full(),
            "downloaded artifact could not be opened: No such file or directory");
}

TEST_F(ExtractTest, ArtifactThatIsNotARegularFileIsRefusedWithoutWaiting) {
  ASSERT_EQ(::mkfifo(src("fifo").c_str(), 0600), 0);
  testing::expect_returns_promptly(src("fifo"), [&] {
    EXPECT_EQ(failure("fifo", kTgz), "downloaded artifact could not be opened");
  });
}

TEST_F(ExtractTest, EntryPointMustBeAPlacedFile) {
  craft("write_tgz('a.tgz', entry('./bin/velk', 'x', mode=0o755), END)\n");
  EXPECT_EQ(extracted("a.tgz", kTgz), 1u);
  EXPECT_TRUE(find_entry_point(dir_of(dest()), "bin/velk").ok());
  EXPECT_TRUE(find_entry_point(dir_of(dest()), "./bin/velk").ok());
  // Absent, a directory, and a path that leaves the destination.
  for (const std::string name : {"bin/other", "bin", "../stage/bin/velk"}) {
    auto status = find_entry_point(dir_of(dest()), name);
    ASSERT_FALSE(status.ok()) << name;
    EXPECT_EQ(status.error().message,
              "the archive does not contain " + name + ", which the plan named as the executable");
  }
}

}  // namespace
}  // namespace velk::testing
