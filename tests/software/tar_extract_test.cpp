// The tar.gz reader on archives made by GNU tar, gzip and Python, and on
// hostile ones crafted byte by byte.
#include <sys/stat.h>

#include "extract_fixture.h"
#include "software/tar_reader.h"

namespace velk::testing {
namespace {

constexpr ArtifactForm kTgz = ArtifactForm::tar_gzip;

class TarExtractTest : public ExtractTest {
 protected:
  // A small tree with executable, private and set-id files, an empty file,
  // an empty directory and a file larger than one read buffer.
  void make_tree() {
    write_text(src("tree/bin/tool"), "#!/bin/sh\necho tool\n", 0755);
    write_text(src("tree/share/doc/readme.txt"), "read me\n", 0644);
    write_text(src("tree/secret"), "private\n", 0600);
    write_text(src("tree/setid"), "set-id\n", 0755);
    ASSERT_EQ(::chmod(src("tree/setid").c_str(), 04755), 0);
    write_text(src("tree/empty"), "", 0644);
    make_dirs(src("tree/var/empty"));
    run("head -c 300000 /dev/urandom > tree/big.bin");
  }

  void expect_tree_extracted() {
    EXPECT_EQ(tree_listing(dest()),
              (std::vector<std::string>{"big.bin", "bin/", "bin/tool", "empty", "secret", "setid",
                                        "share/", "share/doc/", "share/doc/readme.txt", "var/",
                                        "var/empty/"}));
    for (const char* file : {"bin/tool", "share/doc/readme.txt", "secret", "setid", "empty",
                             "big.bin"})
      EXPECT_EQ(read_text(dest(file)), read_text(src(std::string("tree/") + file))) << file;
    EXPECT_EQ(mode_bits(dest("bin/tool")), 0755u);
    EXPECT_EQ(mode_bits(dest("share/doc/readme.txt")), 0644u);
    EXPECT_EQ(mode_bits(dest("secret")), 0600u);
    EXPECT_EQ(mode_bits(dest("setid")), 0755u) << "set-id bits must be dropped";
  }
};

TEST_F(TarExtractTest, ExtractsWhatGnuTarWritesInEachFormat) {
  make_tree();
  for (const char* format : {"ustar", "gnu"}) {
    SCOPED_TRACE(format);
    run(std::string("tar --format=") + format + " -czf " + format + ".tgz -C tree .");
    auto files = extract(std::string(format) + ".tgz", kTgz);
    ASSERT_TRUE(files.ok()) << files.error().full();
    EXPECT_EQ(*files, 6u);
    expect_tree_extracted();
    ASSERT_TRUE(remove_path(dest()).ok());
    make_dirs(dest());
  }
  // A pax archive of short names carries no extended header that matters.
  run("tar --format=pax -czf pax.tgz -C tree .");
  auto files = extract("pax.tgz", kTgz);
  ASSERT_TRUE(files.ok()) << files.error().full();
  expect_tree_extracted();
}

TEST_F(TarExtractTest, LongNamesThroughPrefixAndGnuLongNameHeaders) {
  const std::string deep = std::string(60, 'd') + "/" + std::string(70, 'e') + "/file.txt";
  write_text(src("tree/" + deep), "deep\n");
  run("tar --format=ustar -czf ustar.tgz -C tree " + deep);
  run("tar --format=gnu -czf gnu.tgz -C tree " + deep);
  for (const char* name : {"ustar.tgz", "gnu.tgz"}) {
    SCOPED_TRACE(name);
    auto files = extract(name, kTgz);
    ASSERT_TRUE(files.ok()) << files.error().full();
    EXPECT_EQ(read_text(dest(deep)), "deep\n");
    ASSERT_TRUE(remove_path(dest()).ok());
    make_dirs(dest());
  }
  // pax spells a long name as a "path" record, which is refused.
  run("tar --format=pax -czf pax.tgz -C tree " + deep);
  EXPECT_EQ(failure("pax.tgz", kTgz),
            "refusing a pax extended header carrying \"path\": it would change what this reader "
            "writes or where, and extraction here acts only on the header fields it can see");
}

TEST_F(TarExtractTest, PythonTarfileArchivesAndIgnoredPaxKeys) {
  craft(R"(
with tarfile.open('py.tgz', 'w:gz', format=tarfile.PAX_FORMAT) as t:
    info = tarfile.TarInfo('pkg/run')
    data = b'#!/bin/sh\n'
    info.size = len(data)
    info.mode = 0o750
    info.pax_headers = {'mtime': '1700000000.25', 'comment': 'ignored'}
    t.addfile(info, io.BytesIO(data))
)");
  auto files = extract("py.tgz", kTgz);
  ASSERT_TRUE(files.ok()) << files.error().full();
  EXPECT_EQ(*files, 1u);
  EXPECT_EQ(read_text(dest("pkg/run")), "#!/bin/sh\n");
  EXPECT_EQ(mode_bits(dest("pkg/run")), 0750u);
}

TEST_F(TarExtractTest, DotSlashAndEmptySegmentsAreNormalisedAway) {
  craft(R"(
write_tgz('a.tgz', entry('./bin/x', 'x'), entry('.//share/./y', 'y'), entry('./', flag=b'5'),
          END)
)");
  auto files = extract("a.tgz", kTgz);
  ASSERT_TRUE(files.ok()) << files.error().full();
  EXPECT_EQ(*files, 2u);
  EXPECT_EQ(tree_listing(dest()), (std::vector<std::string>{"bin/", "bin/x", "share/", "share/y"}));
}

TEST_F(TarExtractTest, RefusesLinksDevicesAndOtherTypesAndStopsThere) {
  write_text(src("tree/first"), "1");
  write_text(src("tree/after"), "2");
  run("ln -s /etc/passwd tree/link && tar -czf link.tgz -C tree first link after");
  EXPECT_EQ(failure("link.tgz", kTgz), refusal("a symbolic link", '2'));
  EXPECT_EQ(tree_listing(dest()), std::vector<std::string>{"first"}) << "nothing after the link";

  ASSERT_TRUE(remove_path(dest()).ok());
  make_dirs(dest());
  run("ln tree/first tree/hard && tar -czf hard.tgz -C tree first hard");
  EXPECT_EQ(failure("hard.tgz", kTgz), refusal("a hard link", '1'));

  run("mkfifo tree/fifo && tar -czf fifo.tgz -C tree fifo");
  EXPECT_EQ(failure("fifo.tgz", kTgz), refusal("a FIFO", '6'));

  // Devices need privileges to make for real, so their headers are crafted.
  craft(R"(
for flag in b'34K7V':
    write_tgz('type-%c.tgz' % flag, header('node', flag=bytes([flag]), magic=GNU), END)
)");
  EXPECT_EQ(failure("type-3.tgz", kTgz), refusal("a character device", '3'));
  EXPECT_EQ(failure("type-4.tgz", kTgz), refusal("a block device", '4'));
  EXPECT_EQ(failure("type-K.tgz", kTgz), refusal("a GNU long link name", 'K'));
  EXPECT_EQ(failure("type-7.tgz", kTgz), refusal("a contiguous file", '7'));
  EXPECT_EQ(failure("type-V.tgz", kTgz),
            refusal("an entry type outside the format this reader accepts", 'V'));
  expect_nothing_outside();
}

TEST_F(TarExtractTest, RefusesNamesThatLeaveTheDestination) {
  craft(R"(
write_tgz('up.tgz', entry('../x', 'escape'), END)
write_tgz('deep-up.tgz', entry('a/../../x', 'escape'), END)
write_tgz('abs.tgz', entry('/tmp/x', 'escape'), END)
write_tgz('bs.tgz', entry('a\\b', 'x'), END)
write_tgz('drive.tgz', entry('C:x', 'x'), END)
write_tgz('empty.tgz', entry('', 'x'), END)
write_tgz('prefix-up.tgz', entry('x', 'escape', prefix='..'), END)
)");
  EXPECT_EQ(failure("up.tgz", kTgz), "archive entry ../x climbs out of the destination");
  EXPECT_EQ(failure("deep-up.tgz", kTgz), "archive entry a/../../x climbs out of the destination");
  EXPECT_EQ(failure("abs.tgz", kTgz), "archive entry /tmp/x is an absolute path");
  EXPECT_EQ(failure("bs.tgz", kTgz),
            "archive entry a\\b contains a backslash, which names a different file on each "
            "system");
  EXPECT_EQ(failure("drive.tgz", kTgz), "archive entry C:x carries a drive letter");
  EXPECT_EQ(failure("empty.tgz", kTgz), "archive entry has an empty path");
  EXPECT_EQ(failure("prefix-up.tgz", kTgz), "archive entry ../x climbs out of the destination");
  expect_nothing_outside();
  EXPECT_TRUE(tree_listing(dest()).empty());
}

TEST_F(TarExtractTest, NeverWritesThroughALinkOrOverAnExistingFile) {
  // A link already in the destination is not followed.
  make_dirs(tmp_ / "out/elsewhere");
  ASSERT_EQ(::symlink((tmp_ / "out/elsewhere").c_str(), dest("link").c_str()), 0);
  craft(R"(
write_tgz('through.tgz', entry('link/x', 'x'), END)
write_tgz('file-then-dir.tgz', entry('a', 'file'), entry('a/b', 'x'), END)
write_tgz('file-then-dirent.tgz', entry('a', 'file'), entry('a/', flag=b'5'), END)
write_tgz('twice.tgz', entry('same', 'one'), entry('same', 'two'), END)
)");
  EXPECT_EQ(failure("through.tgz", kTgz), dest("link") + " is not a directory");
  EXPECT_TRUE(tree_listing(tmp_ / "out/elsewhere").empty());
  ASSERT_EQ(::unlink(dest("link").c_str()), 0);

  EXPECT_EQ(failure("file-then-dir.tgz", kTgz), dest("a") + " is not a directory");
  ASSERT_EQ(::unlink(dest("a").c_str()), 0);
  EXPECT_EQ(failure("file-then-dirent.tgz", kTgz), dest("a") + " is not a directory");
  ASSERT_EQ(::unlink(dest("a").c_str()), 0);

  auto twice = extract("twice.tgz", kTgz);
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().message, "archive file could not be created");
  EXPECT_EQ(read_text(dest("same")), "one");
}

TEST_F(TarExtractTest, RefusesPaxKeysThatChangeWhatIsWritten) {
  craft(R"(
for i, key in enumerate(['path', 'size', 'linkpath', 'SCHILY.filetype', 'GNU.sparse.major']):
    data = pax([('mtime', '1'), (key, '1')])
    write_tgz('pax-%d.tgz' % i, header('h', len(data), flag=b'x'), data + b'\0' * (-len(data) % 512),
              entry('f', 'x'), END)
data = pax([('path', 'elsewhere')])
write_tgz('global.tgz', header('g', len(data), flag=b'g'), data + b'\0' * (-len(data) % 512), END)
)");
  int i = 0;
  for (const char* key : {"path", "size", "linkpath", "SCHILY.filetype", "GNU.sparse.major"}) {
    EXPECT_EQ(failure("pax-" + std::to_string(i++) + ".tgz", kTgz),
              std::string("refusing a pax extended header carrying \"") + key +
                  "\": it would change what this reader writes or where, and extraction here "
                  "acts only on the header fields it can see");
  }
  EXPECT_TRUE(tree_listing(dest()).empty());
  EXPECT_NE(failure("global.tgz", kTgz).find("carrying \"path\""), std::string::npos);
}

TEST(PaxRecords, MalformedRecordsAreNamed) {
  const struct {
    std::string data;
    std::string message;
  } cases[] = {
      {"", ""},
      {"13 mtime=1.5\n", ""},
      {"+14 mtime=1.5\n", ""},
      {"13 mtime=1.5\n14 comment=x\n", "a pax record claims 14 bytes, which does not fit what remains"},
      {"12mtime=1.5\n", "a pax record has no length field"},
      {"1x mtime=1\n", "a pax record length \"1x\" is not a number"},
      {"+ a=b\n", "a pax record length \"+\" is not a number"},
      {"-6 a=b\n", "a pax record length \"-6\" is not a number"},
      {" a=b\n", "a pax record length \"\" is not a number"},
      {"99999999999999999999 a=b\n",
       "a pax record length \"99999999999999999999\" is not a number"},
      {"\xff a=b\n", "a pax record length is not text"},
      {"40 a=b\n", "a pax record claims 40 bytes, which does not fit what remains"},
      {"2 a=b\n", "a pax record claims 2 bytes, which does not fit what remains"},
      {"7 abcd\n", "a pax record has no key"},
      {"3 a=b\n", "a pax record has no key"},
      {"6 a=b\n9 path=x\n", "refusing a pax extended header carrying \"path\": it would change "
                            "what this reader writes or where, and extraction here acts only on "
                            "the header fields it can see"},
      {"11 pa\xffth=x\n", ""},
  };
  for (const auto& c : cases) {
    auto status = check_pax_records(c.data);
    if (c.message.empty()) {
      EXPECT_TRUE(status.ok()) << c.data << ": " << status.error().message;
    } else {
      ASSERT_FALSE(status.ok()) << c.data;
      EXPECT_EQ(status.error().message, c.message) << c.data;
    }
  }
}

TEST_F(TarExtractTest, HeaderFieldsAreCheckedStrictly) {
  craft(R"(
write_tgz('v7.tgz', entry('f', 'x', magic=b'\0' * 8), END)
bad = bytearray(entry('f', 'x'))
bad[0] = ord('g')
write_tgz('checksum.tgz', bytes(bad), END)
write_tgz('size-text.tgz', header('f', size_field=b'00000012x\0\0\0'), END)
write_tgz('size-256.tgz', header('f', size_field=b'\x80' + b'\0' * 10 + b'\x05'), END)
write_tgz('mode-sign.tgz', header('f', mode_field=b'+\0\0\0\0\0\0\0'), END)
write_tgz('mode-spaces.tgz', entry('f', 'x', mode_field=b'  +755 \0'), END)
write_tgz('dir-size.tgz', header('d/', 5, flag=b'5') + b'\0' * 512, END)
write_tgz('name-utf8.tgz', entry(b'caf\xe9', 'x'), END)
write_tgz('prefix-utf8.tgz', entry('f', 'x', prefix=b'\xe9'), END)
write_tgz('long-in-posix.tgz', entry('././@LongLink', 'name\0', flag=b'L'), entry('f', 'x'), END)
write_tgz('long-bad.tgz', entry('././@LongLink', b'\xe9\0', flag=b'L', magic=GNU), END)
write_tgz('long.tgz', entry('././@LongLink', 'real/name\0', flag=b'L', magic=GNU),
          entry('short', 'x', magic=GNU), END)
# GNU tar's checksum of a header with bytes above 0x7f, summed as signed bytes.
signed = bytearray(header('caf\u00e9', 1))
signed[148:156] = b' ' * 8
total = sum(b - 256 if b > 127 else b for b in signed)
signed[148:156] = b'%06o\x00 ' % total
write_tgz('signed.tgz', bytes(signed), b'x' + bytes(511), END)
)");
  EXPECT_EQ(failure("v7.tgz", kTgz),
            "tar magic \"\\0\\0\\0\\0\\0\\0\\0\\0\" is neither POSIX ustar nor GNU tar");
  const std::string checksum = failure("checksum.tgz", kTgz);
  EXPECT_TRUE(checksum.rfind("tar header checksum mismatch: stated ", 0) == 0) << checksum;
  EXPECT_EQ(failure("size-text.tgz", kTgz), "tar size field \"00000012x\" is not octal");
  EXPECT_EQ(failure("size-256.tgz", kTgz), "tar size field is not ASCII octal");
  EXPECT_EQ(failure("mode-sign.tgz", kTgz), "tar mode field \"+\" is not octal");
  EXPECT_EQ(failure("dir-size.tgz", kTgz), "directory d/ carries 5 bytes");
  EXPECT_EQ(failure("name-utf8.tgz", kTgz), "tar name field is not valid UTF-8");
  EXPECT_EQ(failure("prefix-utf8.tgz", kTgz), "tar prefix field is not valid UTF-8");
  EXPECT_EQ(failure("long-in-posix.tgz", kTgz),
            "a GNU long-name header appeared in a POSIX ustar archive");
  EXPECT_EQ(failure("long-bad.tgz", kTgz), "a GNU long name is not valid UTF-8");

  for (const char* good : {"mode-spaces.tgz", "long.tgz", "signed.tgz"}) {
    auto files = extract(good, kTgz);
    EXPECT_TRUE(files.ok()) << good << ": " << files.error().full();
  }
  EXPECT_EQ(mode_bits(dest("f")), 0755u);
  EXPECT_EQ(read_text(dest("real/name")), "x");
  EXPECT_EQ(read_text(dest("caf\u00e9")), "x");
}

TEST_F(TarExtractTest, ChecksumMismatchStatesBothSums) {
  craft(R"(
block = bytearray(header('f', 0))
block[148:156] = b'0000010\0'
write_tgz('c.tgz', bytes(block), END)
block[148:156] = b' ' * 8
print(sum(block), file=open('sum', 'w'))
)");
  const std::string sum = read_text(src("sum"));
  EXPECT_EQ(failure("c.tgz", kTgz), "tar header checksum mismatch: stated 8, computed " +
                                        sum.substr(0, sum.size() - 1));
}

TEST_F(TarExtractTest, WhereTheArchiveEnds) {
  craft(R"(
write_tgz('no-end.tgz', entry('f', 'x'))
write_tgz('half-header.tgz', entry('f', 'x'), b'\1' * 100)
write_tgz('short-data.tgz', header('f', 2000), b'x' * 100)
write_tgz('after-end.tgz', entry('f', 'x'), END, entry('g', 'ignored'))
)");
  auto files = extract("no-end.tgz", kTgz);
  EXPECT_TRUE(files.ok()) << files.error().full();
  ASSERT_TRUE(remove_path(dest("f")).ok());
  EXPECT_EQ(failure("half-header.tgz", kTgz), "archive ended in the middle of a header");
  ASSERT_TRUE(remove_path(dest("f")).ok());
  EXPECT_EQ(failure("short-data.tgz", kTgz), "archive ended in the middle of an entry");
  ASSERT_TRUE(remove_path(dest("f")).ok());
  files = extract("after-end.tgz", kTgz);
  EXPECT_TRUE(files.ok()) << files.error().full();
  EXPECT_EQ(tree_listing(dest()), std::vector<std::string>{"f"});
}

}  // namespace
}  // namespace velk::testing
