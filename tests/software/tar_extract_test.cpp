// The tar.gz reader on archives made by GNU tar, gzip and Python, and on
// hostile ones crafted byte by byte.
#include <sys/stat.h>

#include "extract_fixture.h"
#include "software/tar_reader.h"

namespace velk::testing {
namespace {

constexpr ArtifactForm kTgz = ArtifactForm::tar_gzip;

std::string refusal(std::string_view what, char flag) {
  return "refusing " + std::string(what) + " (type flag '" + std::string(1, flag) +
         "'): extraction here writes regular files and directories and nothing else, so that "
         "no entry can redirect a later write outside the destination";
}

std::string pax_refusal(std::string_view key) {
  return "refusing a pax extended header carrying \"" + std::string(key) +
         "\": it would change what this reader writes or where, and extraction here acts only "
         "on the header fields it can see";
}

using TarExtractTest = ExtractTest;

TEST_F(TarExtractTest, ExtractsWhatGnuTarWritesInEachFormat) {
  make_tree();
  // A pax archive of short names carries no extended header that matters.
  for (const std::string format : {"ustar", "gnu", "pax"}) {
    SCOPED_TRACE(format);
    run("tar --format=" + format + " -czf " + format + ".tgz -C tree .");
    EXPECT_EQ(extracted(format + ".tgz", kTgz), 6u);
    expect_tree();
    reset();
  }
}

TEST_F(TarExtractTest, LongNamesThroughPrefixAndGnuLongNameHeaders) {
  const std::string deep = std::string(60, 'd') + "/" + std::string(70, 'e') + "/file.txt";
  write_text(src("tree/" + deep), "deep\n");
  for (const std::string format : {"ustar", "gnu"}) {
    run("tar --format=" + format + " -czf " + format + ".tgz -C tree " + deep);
    EXPECT_EQ(extracted(format + ".tgz", kTgz), 1u) << format;
    EXPECT_EQ(read_text(dest(deep)), "deep\n");
    reset();
  }
  // pax spells a long name as a "path" record, which is refused.
  run("tar --format=pax -czf pax.tgz -C tree " + deep);
  EXPECT_EQ(failure("pax.tgz", kTgz), pax_refusal("path"));
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
  EXPECT_EQ(extracted("py.tgz", kTgz), 1u);
  EXPECT_EQ(read_text(dest("pkg/run")), "#!/bin/sh\n");
  EXPECT_EQ(mode_bits(dest("pkg/run")), 0750u);
}

TEST_F(TarExtractTest, DotSlashAndEmptySegmentsAreNormalisedAway) {
  craft("write_tgz('a.tgz', entry('./bin/x', 'x'), entry('.//share/./y', 'y'), "
        "entry('./', flag=b'5'), END)\n");
  EXPECT_EQ(extracted("a.tgz", kTgz), 2u);
  EXPECT_EQ(tree_listing(dest()), (Lines{"bin/", "bin/x", "share/", "share/y"}));
}

TEST_F(TarExtractTest, RefusesLinksAndFifosAndStopsThere) {
  write_text(src("tree/first"), "1");
  write_text(src("tree/after"), "2");
  run("ln -s /etc/passwd tree/link && tar -czf link.tgz -C tree first link after");
  EXPECT_EQ(failure("link.tgz", kTgz), refusal("a symbolic link", '2'));
  EXPECT_EQ(tree_listing(dest()), Lines{"first"}) << "nothing after the link";
  reset();
  run("ln tree/first tree/hard && tar -czf hard.tgz -C tree first hard");
  EXPECT_EQ(failure("hard.tgz", kTgz), refusal("a hard link", '1'));
  run("mkfifo tree/fifo && tar -czf fifo.tgz -C tree fifo");
  EXPECT_EQ(failure("fifo.tgz", kTgz), refusal("a FIFO", '6'));

  expect_nothing_outside();
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
  reset();
  EXPECT_EQ(failure("file-then-dir.tgz", kTgz), dest("a") + " is not a directory");
  reset();
  EXPECT_EQ(failure("file-then-dirent.tgz", kTgz), dest("a") + " is not a directory");
  reset();
  auto twice = extract("twice.tgz", kTgz);
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().message, "archive file could not be created");
  EXPECT_EQ(read_text(dest("same")), "one");
}

TEST(PaxRecords, MalformedRecordsAreNamed) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"13 mtime=1.5\n", ""},
      {"+14 mtime=1.5\n", ""},
      {"11 pa\xffth=x\n", ""},
      {"13 mtime=1.5\n14 comment=x\n", "a pax record claims 14 bytes, which does not fit what remains"},
      {"2 a=b\n", "a pax record claims 2 bytes, which does not fit what remains"},
      {"12mtime=1.5\n", "a pax record has no length field"},
      {"1x mtime=1\n", "a pax record length \"1x\" is not a number"},
      {"+ a=b\n", "a pax record length \"+\" is not a number"},
      {"-6 a=b\n", "a pax record length \"-6\" is not a number"},
      {"99999999999999999999 a=b\n",
       "a pax record length \"99999999999999999999\" is not a number"},
      {"\xff a=b\n", "a pax record length is not text"},
      {"7 abcd\n", "a pax record has no key"},
      {"6 a=b\n9 path=x\n", pax_refusal("path")},
  };
  for (const auto& [data, message] : cases) {
    auto status = check_pax_records(data);
    EXPECT_EQ(status.ok() ? std::string() : status.error().message, message) << data;
  }
}

// Headers crafted byte by byte: other entry types (devices need privileges
// to make for real), names that leave the destination, pax keys that change
// what is written, and header fields out of shape. Each is refused with its
// reason, with nothing written anywhere.
TEST_F(TarExtractTest, RefusesCraftedHeadersWithTheirReason) {
  const Lines pax_keys = {"path", "size", "linkpath", "SCHILY.filetype", "GNU.sparse.major"};
  write_escaping_names();
  craft(R"(
for flag in b'34K7V':
    write_tgz('type-%c.tgz' % flag, header('node', flag=bytes([flag]), magic=GNU), END)
for i, name in enumerate(open('names').read().split('\0')[:-1]):
    write_tgz('name-%d.tgz' % i, entry(name, 'escape'), END)
write_tgz('empty.tgz', entry('', 'escape'), END)
write_tgz('prefix.tgz', entry('x', 'escape', prefix='..'), END)
def with_pax(path, flag, records, *rest):
    data = pax(records)
    write_tgz(path, header('h', len(data), flag=flag), data + b'\0' * (-len(data) % 512), *rest)
for key in ['path', 'size', 'linkpath', 'SCHILY.filetype', 'GNU.sparse.major']:
    with_pax(key + '.tgz', b'x', [('mtime', '1'), (key, '1')], entry('f', 'x'), END)
with_pax('global.tgz', b'g', [('path', 'elsewhere')], END)
write_tgz('v7.tgz', entry('f', 'x', magic=b'\0' * 8), END)
write_tgz('size-text.tgz', header('f', size_field=b'00000012x\0\0\0'), END)
write_tgz('size-256.tgz', header('f', size_field=b'\x80' + b'\0' * 10 + b'\x05'), END)
write_tgz('mode-sign.tgz', header('f', mode_field=b'+\0\0\0\0\0\0\0'), END)
write_tgz('dir-size.tgz', header('d/', 5, flag=b'5') + b'\0' * 512, END)
write_tgz('name-utf8.tgz', entry(b'caf\xe9', 'x'), END)
write_tgz('prefix-utf8.tgz', entry('f', 'x', prefix=b'\xe9'), END)
write_tgz('long-in-posix.tgz', entry('././@LongLink', 'name\0', flag=b'L'), entry('f', 'x'), END)
write_tgz('long-bad.tgz', entry('././@LongLink', b'\xe9\0', flag=b'L', magic=GNU), END)
write_tgz('mode-spaces.tgz', entry('f', 'x', mode_field=b'  +755 \0'), END)
# GNU tar's checksum of a header with bytes above 0x7f, summed as signed bytes.
signed = bytearray(header('caf\u00e9', 1))
signed[148:156] = b' ' * 8
signed[148:156] = b'%06o\x00 ' % sum(b - 256 if b > 127 else b for b in signed)
write_tgz('signed.tgz', bytes(signed), b'x' + bytes(511), END)
block = bytearray(header('f', 0))
block[148:156] = b'0000010\0'
write_tgz('checksum.tgz', bytes(block), END)
block[148:156] = b' ' * 8
print(sum(block), end='', file=open('sum', 'w'))
)");
  std::vector<std::pair<std::string, std::string>> refused = {
      {"type-3.tgz", refusal("a character device", '3')},
      {"type-4.tgz", refusal("a block device", '4')},
      {"type-K.tgz", refusal("a GNU long link name", 'K')},
      {"type-7.tgz", refusal("a contiguous file", '7')},
      {"type-V.tgz", refusal("an entry type outside the format this reader accepts", 'V')},
      {"empty.tgz", "archive entry has an empty path"},
      {"prefix.tgz", kEscapingNames[0].second},  // through the ustar prefix
      {"global.tgz", pax_refusal("path")},
      {"v7.tgz", "tar magic \"\\0\\0\\0\\0\\0\\0\\0\\0\" is neither POSIX ustar nor GNU tar"},
      {"checksum.tgz", "tar header checksum mismatch: stated 8, computed " + read_text(src("sum"))},
      {"size-text.tgz", "tar size field \"00000012x\" is not octal"},
      {"size-256.tgz", "tar size field is not ASCII octal"},
      {"mode-sign.tgz", "tar mode field \"+\" is not octal"},
      {"dir-size.tgz", "directory d/ carries 5 bytes"},
      {"name-utf8.tgz", "tar name field is not valid UTF-8"},
      {"prefix-utf8.tgz", "tar prefix field is not valid UTF-8"},
      {"long-in-posix.tgz", "a GNU long-name header appeared in a POSIX ustar archive"},
      {"long-bad.tgz", "a GNU long name is not valid UTF-8"},
  };
  for (size_t i = 0; i < kEscapingNames.size(); ++i)
    refused.emplace_back("name-" + std::to_string(i) + ".tgz", kEscapingNames[i].second);
  for (const std::string& key : pax_keys) refused.emplace_back(key + ".tgz", pax_refusal(key));
  for (const auto& [name, message] : refused) EXPECT_EQ(failure(name, kTgz), message) << name;
  EXPECT_TRUE(tree_listing(dest()).empty());
  expect_nothing_outside();

  for (const char* good : {"mode-spaces.tgz", "signed.tgz"})
    EXPECT_EQ(extracted(good, kTgz), 1u) << good;
  EXPECT_EQ(mode_bits(dest("f")), 0755u);
  EXPECT_EQ(read_text(dest("caf\u00e9")), "x");
}

TEST_F(TarExtractTest, WhereTheArchiveEnds) {
  craft(R"(
write_tgz('no-end.tgz', entry('f', 'x'))
write_tgz('half-header.tgz', entry('f', 'x'), b'\1' * 100)
write_tgz('after-end.tgz', entry('f', 'x'), END, entry('g', 'ignored'))
)");
  EXPECT_EQ(extracted("no-end.tgz", kTgz), 1u);
  reset();
  EXPECT_EQ(failure("half-header.tgz", kTgz), "archive ended in the middle of a header");
  reset();
  EXPECT_EQ(extracted("after-end.tgz", kTgz), 1u);
  EXPECT_EQ(tree_listing(dest()), Lines{"f"});
}

}  // namespace
}  // namespace velk::testing
