// The gzip member around a tar archive, the extraction limits, the program
// form and the entry point check.
#include <sys/stat.h>

#include "extract_fixture.h"

namespace velk::testing {
namespace {

constexpr ArtifactForm kTgz = ArtifactForm::tar_gzip;

class GzipTest : public ExtractTest {
 protected:
  // A real gzip of a small tar archive, for the tests to damage.
  void SetUp() override {
    ExtractTest::SetUp();
    write_text(src("tree/f"), "content\n");
    run("tar --format=gnu -cf a.tar -C tree f && gzip -9 -n -c a.tar > a.tgz");
  }
  void damage(const std::string& python_edit) {
    craft("data = bytearray(open('a.tgz', 'rb').read())\n" + python_edit +
          "\nopen('bad.tgz', 'wb').write(bytes(data))\n");
  }
};

TEST_F(GzipTest, HeaderRefusals) {
  damage("data[1] = 0x8c");
  EXPECT_EQ(failure("bad.tgz", kTgz), "not a gzip member: magic 0x1f8c");
  run("zip -q z.zip a.tar");
  EXPECT_EQ(failure("z.zip", kTgz), "not a gzip member: magic 0x504b");
  damage("data[2] = 7");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip compression method 7 is not DEFLATE");
  damage("data[3] |= 0x20");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip reserved flag bits set: 0b00100000");
  damage("data[3] = 0xe5");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip reserved flag bits set: 0b11100101");
  damage("data[:] = data[:9]");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip header could not be read");
  damage("data[:] = data[:10] + b'\\x05'; data[3] = 0x04");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip extra field length could not be read");
  damage("data[:] = data[:10] + b'\\x05\\x00ab'; data[3] = 0x04");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip extra field could not be read");
  damage("data[:] = data[:10] + b'name'; data[3] = 0x08");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip name field could not be read");
  damage("data[:] = data[:10] + b'comment'; data[3] = 0x10");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip comment field could not be read");
  damage("data[:] = data[:10] + b'\\x01'; data[3] = 0x02");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip header checksum could not be read");
  EXPECT_TRUE(tree_listing(dest()).empty());
}

TEST_F(GzipTest, OptionalHeaderFieldsAreSkipped) {
  // FEXTRA, FNAME, FCOMMENT and FHCRC in that order before the DEFLATE data.
  damage("data[:] = data[:3] + bytes([0x1e]) + data[4:10] + b'\\x03\\x00xyz' + b'a.tar\\0' + "
         "b'a comment\\0' + b'\\xab\\xcd' + data[10:]");
  auto files = extract("bad.tgz", kTgz);
  ASSERT_TRUE(files.ok()) << files.error().full();
  EXPECT_EQ(read_text(dest("f")), "content\n");
}

TEST_F(GzipTest, TrailerAndStreamDamage) {
  damage("data[:] = data[:-1]");
  EXPECT_EQ(failure("bad.tgz", kTgz), "archive did not end cleanly: gzip trailer is truncated");
  ASSERT_TRUE(remove_path(dest("f")).ok());

  craft(R"(
import zlib
raw = open('a.tar', 'rb').read()
data = open('a.tgz', 'rb').read()
crc = zlib.crc32(raw)
open('crc.tgz', 'wb').write(data[:-8] + struct.pack('<I', crc ^ 1) + data[-4:])
open('len.tgz', 'wb').write(data[:-4] + struct.pack('<I', len(raw) + 3))
open('expect', 'w').write('0x%08x 0x%08x %d %d' % (crc ^ 1, crc, len(raw) + 3, len(raw)))
)");
  std::istringstream expect(read_text(src("expect")));
  std::string stated_crc, crc, stated_length, length;
  expect >> stated_crc >> crc >> stated_length >> length;
  EXPECT_EQ(failure("crc.tgz", kTgz), "archive did not end cleanly: gzip CRC-32 mismatch: stated " +
                                          stated_crc + ", inflated " + crc);
  ASSERT_TRUE(remove_path(dest("f")).ok());
  EXPECT_EQ(failure("len.tgz", kTgz), "archive did not end cleanly: gzip length mismatch: stated " +
                                          stated_length + ", inflated " + length);
  ASSERT_TRUE(remove_path(dest("f")).ok());

  damage("data[:] = data[:40]");
  EXPECT_EQ(failure("bad.tgz", kTgz), "gzip stream ended before the DEFLATE data did");
  damage("data[10] = 0xff");
  const std::string malformed = failure("bad.tgz", kTgz);
  EXPECT_TRUE(malformed.rfind("gzip DEFLATE stream is malformed: ", 0) == 0) << malformed;
}

TEST_F(ExtractTest, LimitsFollowTheArtifactLength) {
  EXPECT_EQ(extraction_limits(0).max_bytes, 64ull << 20);
  EXPECT_EQ(extraction_limits(1 << 20).max_bytes, 64ull << 20);
  EXPECT_EQ(extraction_limits(10 << 20).max_bytes, 160ull << 20);
  EXPECT_EQ(extraction_limits((1ull << 60) - 1).max_bytes, ((1ull << 60) - 1) * 16);
  EXPECT_EQ(extraction_limits(1ull << 60).max_bytes, 64ull << 20) << "16 x length overflows";
  EXPECT_EQ(extraction_limits(UINT64_MAX).max_bytes, 64ull << 20);
  EXPECT_EQ(extraction_limits(5).max_entries, 65536u);
}

TEST_F(ExtractTest, AnArchiveOfZerosStopsAtTheByteLimit) {
  // 40 MiB and then 30 MiB of zeros: a tiny artifact whose limit is 64 MiB.
  craft(R"(
with tarfile.open('bomb.tgz', 'w:gz') as t:
    for name, size in (('first', 40 << 20), ('second', 30 << 20)):
        info = tarfile.TarInfo(name)
        info.size = size
        t.addfile(info, io.BytesIO(bytes(size)))
)");
  EXPECT_LT(lstat_path(src("bomb.tgz"))->st_size, 1 << 20);
  EXPECT_EQ(failure("bomb.tgz", kTgz),
            "archive inflates past the 67108864 bytes this extraction allows");
  EXPECT_EQ(tree_listing(dest()), std::vector<std::string>{"first"});
}

TEST_F(ExtractTest, EntryLimitCountsEveryEntry) {
  craft(R"(
d = header('d/', flag=b'5')
write_tgz('at-limit.tgz', d * 65535, entry('f', 'x'), END)
write_tgz('over-limit.tgz', d * 65536, entry('f', 'x'), END)
)");
  auto files = extract("at-limit.tgz", kTgz);
  ASSERT_TRUE(files.ok()) << files.error().full();
  EXPECT_EQ(*files, 1u);
  ASSERT_TRUE(remove_path(dest()).ok());
  make_dirs(dest());
  EXPECT_EQ(failure("over-limit.tgz", kTgz),
            "archive holds more than the 65536 entries this extraction allows");
  EXPECT_FALSE(exists(dest("f")));
}

TEST_F(ExtractTest, ProgramFormCopiesTheArtifactAsAnExecutable) {
  const std::string artifact = std::string(VELK_SOURCE_DIR) + "/releases/velk-1.0.18-linux-x86_64";
  const mode_t old_mask = ::umask(077);
  auto files = extract_artifact(artifact, ArtifactForm::executable, dest(), 519);
  ::umask(old_mask);
  ASSERT_TRUE(files.ok()) << files.error().full();
  EXPECT_EQ(*files, 1u);
  EXPECT_EQ(tree_listing(dest()), std::vector<std::string>{"velk"});
  EXPECT_EQ(read_text(dest("velk")), read_text(artifact));
  EXPECT_EQ(mode_bits(dest("velk")), 0755u);

  // The program is created new, never written over what is there.
  auto again = extract_artifact(artifact, ArtifactForm::executable, dest(), 519);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message, "executable could not be written");

  auto missing = extract_artifact(src("absent"), ArtifactForm::executable, dest(), 1);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().full(),
            "downloaded artifact could not be opened: No such file or directory");
}

TEST_F(ExtractTest, ArtifactThatIsNotARegularFileIsRefusedWithoutWaiting) {
  ASSERT_EQ(::mkfifo(src("fifo").c_str(), 0600), 0);
  auto result = extract_artifact(src("fifo"), kTgz, dest(), 1);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "downloaded artifact could not be opened");
}

TEST_F(ExtractTest, EntryPointMustBeAPlacedFile) {
  craft("write_tgz('a.tgz', entry('./bin/velk', 'x', mode=0o755), END)\n");
  ASSERT_TRUE(extract("a.tgz", kTgz).ok());
  EXPECT_TRUE(find_entry_point(dest(), "bin/velk").ok());
  EXPECT_TRUE(find_entry_point(dest(), "./bin/velk").ok());
  const auto missing = [&](std::string_view entry_point) {
    auto status = find_entry_point(dest(), entry_point);
    return status.ok() ? std::string("found") : status.error().message;
  };
  EXPECT_EQ(missing("bin/other"),
            "the archive does not contain bin/other, which the plan named as the executable");
  EXPECT_EQ(missing("bin"),
            "the archive does not contain bin, which the plan named as the executable");
  EXPECT_EQ(missing("../stage/bin/velk"),
            "the archive does not contain ../stage/bin/velk, which the plan named as the "
            "executable");
}

}  // namespace
}  // namespace velk::testing
