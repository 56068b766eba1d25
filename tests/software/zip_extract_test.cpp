// The zip reader on archives made by Info-ZIP zip and Python's zipfile, and
// on damaged ones. (Escaping names meet the check the tar tests compare.)
#include <tuple>

#include "extract_fixture.h"

namespace velk::testing {
namespace {

constexpr ArtifactForm kZip = ArtifactForm::zip;

// Little-endian fields of a zip archive.
uint32_t get(const std::string& data, size_t at, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(data[at + i]);
  return v;
}
void put(std::string& data, size_t at, uint32_t v, int width) {
  for (int i = 0; i < width; ++i) data[at + i] = static_cast<char>(v >> (8 * i));
}

// An edit of the bytes, given the end record's and first central header's
// offsets; at_end and at_cd write `v` at an offset into one of them.
using Edit = std::function<void(std::string& data, size_t eocd, size_t cd)>;
Edit at_end(size_t offset, uint32_t v, int width) {
  return [=](std::string& d, size_t eocd, size_t) { put(d, eocd + offset, v, width); };
}
Edit at_cd(size_t offset, uint32_t v, int width) {
  return [=](std::string& d, size_t, size_t cd) { put(d, cd + offset, v, width); };
}

class ZipExtractTest : public ExtractTest {
 protected:
  // one/f, 3000 bytes, zipped by Info-ZIP as a.zip (deflated) and stored.zip.
  void SetUp() override {
    ExtractTest::SetUp();
    write_text(src("one/f"), std::string(3000, 'f'));
    run("cd one && zip -q ../a.zip f && zip -q -0 ../stored.zip f");
  }
  std::string damaged(const std::string& name, const Edit& edit) {
    std::string data = read_text(src(name));
    const size_t eocd = data.rfind(std::string("PK\x05\x06", 4));
    edit(data, eocd, get(data, eocd + 16, 4));
    write_text(src("bad.zip"), data);
    return failure("bad.zip", kZip);
  }
  // Each edit of a.zip fails with its message and leaves `left` behind.
  void expect_refused(const std::vector<std::tuple<Edit, std::string, Lines>>& cases) {
    for (const auto& [edit, message, left] : cases) {
      EXPECT_EQ(damaged("a.zip", edit), message);
      EXPECT_EQ(tree_listing(dest()), left) << message;
      reset();
    }
  }
};

TEST_F(ZipExtractTest, ExtractsWhatInfoZipAndPythonWrite) {
  make_tree();
  run("cd tree && zip -q -r ../tree.zip . && zip -q -r -0 ../tree-stored.zip .");
  for (const char* name : {"tree.zip", "tree-stored.zip"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(extracted(name, kZip), 6u);
    expect_tree();
    reset();
  }
  craft(R"(
with zipfile.ZipFile('py.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('dir/', b'')
    z.writestr('dir/a.txt', b'alpha' * 1000)
    info = zipfile.ZipInfo('./bin/run')
    info.external_attr = 0o100750 << 16
    info.create_system = 3
    z.writestr(info, b'#!/bin/sh\n')
    info = zipfile.ZipInfo('plain')
    info.create_system = 0
    info.external_attr = 0o100777 << 16
    z.writestr(info, b'not from a Unix tool, so its mode bits are not taken')
    z.comment = b'PK\x05\x06 inside a comment'
open('alpha', 'wb').write(b'alpha' * 1000)
)");
  EXPECT_EQ(extracted("py.zip", kZip), 3u);
  EXPECT_EQ(read_text(dest("dir/a.txt")), read_text(src("alpha")));
  EXPECT_EQ(mode_of(dest("bin/run")), 0750u);
  EXPECT_EQ(mode_of(dest("plain")), 0644u);
}

TEST_F(ZipExtractTest, ALinkEntryBecomesAPlainFileNeverALink) {
  write_text(src("tree/target"), "t");
  run("ln -s /etc/passwd tree/link && cd tree && zip -q -y ../links.zip link target");
  EXPECT_EQ(extracted("links.zip", kZip), 2u);
  const auto st = lstat_path(dest("link"));
  ASSERT_TRUE(st.has_value());
  EXPECT_TRUE(S_ISREG(st->st_mode));
  EXPECT_EQ(read_text(dest("link")), "/etc/passwd");
}

TEST_F(ZipExtractTest, ArchiveLevelRefusals) {
  run("gzip -c one/f > f.gz");
  write_text(src("tiny"), "PK");
  for (const char* name : {"f.gz", "tiny"})
    EXPECT_EQ(failure(name, kZip), "not a zip archive: no end-of-central-directory record");
  const std::string zip64 = "zip uses the Zip64 format, which this reader does not accept";
  expect_refused({
      {at_end(10, 0xffff, 2), zip64, {}},
      {[](std::string& d, size_t end, size_t) {
         d.insert(end, std::string("PK\x06\x07", 4) + std::string(16, '\0'));
       },
       zip64, {}},
      {at_end(4, 1, 2), "zip spans multiple disks", {}},
      {at_end(12, 0x10000, 4), "zip central directory is implausibly large", {}},
      // The one entry comes out before the missing second one is found.
      {at_end(8, 0x00020002, 4), "zip central directory ends early", {"f"}},
      {at_cd(3, 9, 1), "zip central directory header is malformed", {}},
  });
}

TEST_F(ZipExtractTest, EntryLevelRefusals) {
  // Encrypted, and streamed to a pipe (so sized by a data descriptor).
  run("cd one && zip -q -P secret ../enc.zip f && zip -q - f | cat > ../streamed.zip");
  EXPECT_EQ(failure("enc.zip", kZip), "zip entry is encrypted");
  EXPECT_EQ(failure("streamed.zip", kZip),
            "zip entry carries a data descriptor, whose sizes this reader will not trust");
  craft(R"(
with zipfile.ZipFile('z64.zip', 'w') as z:
    info = zipfile.ZipInfo('big')
    info.extra = struct.pack('<HH', 0x9999, 16) + bytes(16)
    z.writestr(info, b'x')
data = open('z64.zip', 'rb').read().replace(b'\x99\x99\x10\x00', b'\x01\x00\x10\x00')
open('z64.zip', 'wb').write(data)
with zipfile.ZipFile('bz.zip', 'w', zipfile.ZIP_BZIP2) as z:
    z.writestr('f.txt', b'bzip2 data')
)");
  const std::string zip64 = "zip entry uses a Zip64 extended field, which this reader does not accept";
  EXPECT_EQ(failure("z64.zip", kZip), zip64);
  EXPECT_EQ(failure("bz.zip", kZip),
            "f.txt uses zip compression method 12, and this reader accepts only stored and "
            "deflate");
  expect_refused({
      {at_cd(20, 0xffffffff, 4), zip64, {}},
      {at_cd(28, 0xff, 2), "zip entry name is truncated", {}},
      {at_cd(30, 0xff, 2), "zip record ends inside a field", {}},
      {at_cd(46, 0xe9, 1), "zip entry name is not valid UTF-8", {}},
      {[](std::string& d, size_t, size_t) { d.replace(0, 4, "XXXX"); },
       "f does not start with a local file header", {}},
  });
}

TEST_F(ZipExtractTest, ProducedSizeMustMatchTheStatedSize) {
  const std::string states = "f is 3000 bytes and the archive states ";
  expect_refused({
      {at_cd(24, 2999, 4), states + "2999", {"f"}},
      {at_cd(24, 3001, 4), states + "3001", {"f"}},
      // A larger stated size is charged against the byte limit before anything is written.
      {at_cd(24, 80 << 20, 4), "archive inflates past the 67108864 bytes this extraction allows", {}},
      {[](std::string& d, size_t, size_t cd) { put(d, cd + 20, get(d, cd + 20, 4) / 2, 4); },
       "zip entry ended before its DEFLATE stream did", {"f"}},  // half the stream
  });
  EXPECT_EQ(damaged("stored.zip", at_cd(24, 3001, 4)), states + "3001");
  reset();
  const std::string malformed = damaged("a.zip", [](std::string& d, size_t, size_t) {
    d[30 + get(d, 26, 2) + get(d, 28, 2)] = '\xff';  // the first byte of the entry's data
  });
  EXPECT_TRUE(malformed.rfind("zip entry's DEFLATE stream is malformed: ", 0) == 0) << malformed;
}

}  // namespace
}  // namespace velk::testing
