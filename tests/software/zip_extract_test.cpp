// The zip reader on archives made by Info-ZIP zip and Python's zipfile, and
// on damaged and hostile ones.
#include <sys/stat.h>

#include "extract_fixture.h"

namespace velk::testing {
namespace {

constexpr ArtifactForm kZip = ArtifactForm::zip;

class ZipExtractTest : public ExtractTest {
 protected:
  void make_tree() {
    write_text(src("tree/bin/tool"), "#!/bin/sh\necho tool\n", 0755);
    write_text(src("tree/share/readme.txt"), std::string(5000, 'r'), 0640);
    write_text(src("tree/empty"), "", 0600);
    run("head -c 200000 /dev/urandom > tree/big.bin");
  }
  void expect_tree_extracted() {
    EXPECT_EQ(tree_listing(dest()),
              (std::vector<std::string>{"big.bin", "bin/", "bin/tool", "empty", "share/",
                                        "share/readme.txt"}));
    for (const char* file : {"bin/tool", "share/readme.txt", "empty", "big.bin"})
      EXPECT_EQ(read_text(dest(file)), read_text(src(std::string("tree/") + file))) << file;
    EXPECT_EQ(mode_bits(dest("bin/tool")), 0755u);
    EXPECT_EQ(mode_bits(dest("share/readme.txt")), 0640u);
    EXPECT_EQ(mode_bits(dest("empty")), 0600u);
  }
  // Rewrites `name` into bad.zip with a Python edit of `data`; `eocd` is the
  // end record's offset and `cd` the central directory's.
  void damage(const std::string& name, const std::string& python_edit) {
    craft("data = bytearray(open('" + name + "', 'rb').read())\n"
          "eocd = data.rindex(b'PK\\x05\\x06')\n"
          "cd = struct.unpack_from('<I', data, eocd + 16)[0]\n" +
          python_edit + "\nopen('bad.zip', 'wb').write(bytes(data))\n");
  }
};

TEST_F(ZipExtractTest, ExtractsWhatInfoZipAndPythonWrite) {
  make_tree();
  run("cd tree && zip -q -r ../deflated.zip . && zip -q -r -0 ../stored.zip .");
  for (const char* name : {"deflated.zip", "stored.zip"}) {
    SCOPED_TRACE(name);
    auto files = extract(name, kZip);
    ASSERT_TRUE(files.ok()) << files.error().full();
    EXPECT_EQ(*files, 4u);
    expect_tree_extracted();
    ASSERT_TRUE(remove_path(dest()).ok());
    make_dirs(dest());
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
)");
  auto files = extract("py.zip", kZip);
  ASSERT_TRUE(files.ok()) << files.error().full();
  EXPECT_EQ(*files, 3u);
  std::string alpha;
  for (int i = 0; i < 1000; ++i) alpha += "alpha";
  EXPECT_EQ(read_text(dest("dir/a.txt")), alpha);
  EXPECT_EQ(mode_bits(dest("bin/run")), 0750u);
  EXPECT_EQ(mode_bits(dest("plain")), 0644u);
}

TEST_F(ZipExtractTest, ALinkEntryBecomesAPlainFileNeverALink) {
  write_text(src("tree/target"), "t");
  run("ln -s /etc/passwd tree/link && cd tree && zip -q -y ../links.zip link target");
  auto files = extract("links.zip", kZip);
  ASSERT_TRUE(files.ok()) << files.error().full();
  const auto st = lstat_path(dest("link"));
  ASSERT_TRUE(st.has_value());
  EXPECT_TRUE(S_ISREG(st->st_mode));
  EXPECT_EQ(read_text(dest("link")), "/etc/passwd");
}

TEST_F(ZipExtractTest, RefusesDataDescriptorsEvenWithRightSizes) {
  write_text(src("tree/f"), "streamed content\n");
  // Info-ZIP streaming to a pipe, and Python writing to an unseekable file.
  run("cd tree && zip -q - f | cat > ../streamed.zip");
  craft(R"(
class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
with open('py-stream.zip', 'wb') as out:
    with zipfile.ZipFile(Unseekable(out), 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('f', b'streamed content\n')
)");
  for (const char* name : {"streamed.zip", "py-stream.zip"}) {
    EXPECT_EQ(failure(name, kZip),
              "zip entry carries a data descriptor, whose sizes this reader will not trust")
        << name;
  }
  // The same bytes without the descriptor are fine.
  run("unzip -q -d plain streamed.zip && cd plain && zip -q ../plain.zip f");
  EXPECT_TRUE(extract("plain.zip", kZip).ok());
}

TEST_F(ZipExtractTest, ArchiveLevelRefusals) {
  write_text(src("tree/f"), "content\n");
  run("cd tree && zip -q ../a.zip f");
  run("gzip -c tree/f > f.gz");
  EXPECT_EQ(failure("f.gz", kZip), "not a zip archive: no end-of-central-directory record");
  write_text(src("tiny"), "PK");
  EXPECT_EQ(failure("tiny", kZip), "not a zip archive: no end-of-central-directory record");

  damage("a.zip", "data[eocd + 10:eocd + 12] = b'\\xff\\xff'");
  EXPECT_EQ(failure("bad.zip", kZip), "zip uses the Zip64 format, which this reader does not accept");
  damage("a.zip", "data[eocd:eocd] = b'PK\\x06\\x07' + bytes(16)");
  EXPECT_EQ(failure("bad.zip", kZip), "zip uses the Zip64 format, which this reader does not accept");
  damage("a.zip", "data[eocd + 4:eocd + 6] = b'\\x01\\x00'");
  EXPECT_EQ(failure("bad.zip", kZip), "zip spans multiple disks");
  damage("a.zip", "data[eocd + 12:eocd + 16] = struct.pack('<I', len(data))");
  EXPECT_EQ(failure("bad.zip", kZip), "zip central directory is implausibly large");
  damage("a.zip", "data[eocd + 8:eocd + 12] = b'\\x02\\x00\\x02\\x00'");
  EXPECT_EQ(failure("bad.zip", kZip), "zip central directory ends early");
  ASSERT_EQ(::unlink(dest("f").c_str()), 0);
  damage("a.zip", "data[cd:cd + 4] = b'PK\\x01\\x09'");
  EXPECT_EQ(failure("bad.zip", kZip), "zip central directory header is malformed");
  EXPECT_TRUE(tree_listing(dest()).empty());
}

TEST_F(ZipExtractTest, EntryLevelRefusals) {
  write_text(src("tree/f"), std::string(3000, 'f'));
  run("cd tree && zip -q ../a.zip f && zip -q -P secret ../enc.zip f");
  EXPECT_EQ(failure("enc.zip", kZip), "zip entry is encrypted");
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
  EXPECT_EQ(failure("z64.zip", kZip),
            "zip entry uses a Zip64 extended field, which this reader does not accept");
  damage("a.zip", "data[cd + 20:cd + 24] = b'\\xff\\xff\\xff\\xff'");
  EXPECT_EQ(failure("bad.zip", kZip),
            "zip entry uses a Zip64 extended field, which this reader does not accept");
  EXPECT_EQ(failure("bz.zip", kZip),
            "f.txt uses zip compression method 12, and this reader accepts only stored and "
            "deflate");
  damage("a.zip", "data[cd + 28:cd + 30] = b'\\xff\\x00'");
  EXPECT_EQ(failure("bad.zip", kZip), "zip entry name is truncated");
  damage("a.zip", "data[cd + 30:cd + 32] = b'\\xff\\x00'");
  EXPECT_EQ(failure("bad.zip", kZip), "zip record ends inside a field");
  damage("a.zip", "data[cd + 46] = 0xe9");
  EXPECT_EQ(failure("bad.zip", kZip), "zip entry name is not valid UTF-8");
  damage("a.zip", "data[0:4] = b'XXXX'");
  EXPECT_EQ(failure("bad.zip", kZip), "f does not start with a local file header");
  EXPECT_TRUE(tree_listing(dest()).empty());
}

TEST_F(ZipExtractTest, ProducedSizeMustMatchTheStatedSize) {
  write_text(src("tree/f"), std::string(3000, 'f'));
  run("cd tree && zip -q ../deflated.zip f && zip -q -0 ../stored.zip f");
  const auto stated = [&](const char* name, int size) {
    damage(name, "data[cd + 24:cd + 28] = struct.pack('<I', " + std::to_string(size) + ")");
    std::string message = failure("bad.zip", kZip);
    (void)remove_path(dest("f"));
    return message;
  };
  EXPECT_EQ(stated("deflated.zip", 2999), "f is 3000 bytes and the archive states 2999");
  EXPECT_EQ(stated("deflated.zip", 3001), "f is 3000 bytes and the archive states 3001");
  EXPECT_EQ(stated("stored.zip", 3001), "f is 3000 bytes and the archive states 3001");
  // A larger stated size is charged against the byte limit before anything is written.
  EXPECT_EQ(stated("deflated.zip", 80 << 20),
            "archive inflates past the 67108864 bytes this extraction allows");

  damage("deflated.zip",
         "body = 30 + struct.unpack_from('<H', data, 26)[0] + struct.unpack_from('<H', data, 28)[0]\n"
         "data[body] = 0xff");
  const std::string malformed = failure("bad.zip", kZip);
  EXPECT_TRUE(malformed.rfind("zip entry's DEFLATE stream is malformed: ", 0) == 0) << malformed;
  (void)remove_path(dest("f"));
  damage("deflated.zip",
         "size = struct.unpack_from('<I', data, cd + 20)[0]\n"
         "data[cd + 20:cd + 24] = struct.pack('<I', size // 2)");
  EXPECT_EQ(failure("bad.zip", kZip), "zip entry ended before its DEFLATE stream did");
}

TEST_F(ZipExtractTest, RefusesNamesThatLeaveTheDestination) {
  craft(R"(
for i, name in enumerate(['../x', '/tmp/x', 'a\\b', 'C:x', 'a/../../x']):
    with zipfile.ZipFile('name-%d.zip' % i, 'w') as z:
        z.writestr('first', b'1')
        z.writestr(zipfile.ZipInfo(name), b'escape')
)");
  const char* expected[] = {
      "archive entry ../x climbs out of the destination",
      "archive entry /tmp/x is an absolute path",
      "archive entry a\\b contains a backslash, which names a different file on each system",
      "archive entry C:x carries a drive letter",
      "archive entry a/../../x climbs out of the destination",
  };
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(failure("name-" + std::to_string(i) + ".zip", kZip), expected[i]);
    EXPECT_EQ(tree_listing(dest()), std::vector<std::string>{"first"});
    ASSERT_EQ(::unlink(dest("first").c_str()), 0);
  }
  expect_nothing_outside();
}

}  // namespace
}  // namespace velk::testing
