// The tar.gz reader on archives made by GNU tar, and on hostile ones crafted byte by byte.
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
  // A long name goes in the ustar prefix or a GNU long-name header; pax
  // spells it as a "path" record, which is refused.
  const std::string deep = std::string(60, 'd') + "/" + std::string(70, 'e') + "/file.txt";
  write_text(src("long/" + deep), "deep\n");
  for (const std::string format : {"ustar", "gnu", "pax"}) {
    SCOPED_TRACE(format);
    run("tar --format=" + format + " -czf " + format + ".tgz -C tree . && tar --format=" + format +
        " -czf long-" + format + ".tgz -C long " + deep);
    EXPECT_EQ(extracted(format + ".tgz", kTgz), 6u);
    expect_tree();
    reset();
    if (format == "pax") {
      EXPECT_EQ(failure("long-pax.tgz", kTgz), pax_refusal("path"));
    } else {
      EXPECT_EQ(extracted("long-" + format + ".tgz", kTgz), 1u);
      EXPECT_EQ(read_text(dest(deep)), "deep\n");
      reset();
    }
  }
}

TEST_F(TarExtractTest, NeverWritesThroughALinkOrOverAnExistingFile) {
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
  EXPECT_EQ(failure("twice.tgz", kTgz), "archive file could not be created");
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

// Every entry type but files and directories (a link out, then a file the refusal must stop
// before), escaping names, pax keys that change what is written, fields out of shape.
TEST_F(TarExtractTest, RefusesCraftedHeadersWithTheirReason) {
  const Lines pax_keys = {"path", "size", "linkpath", "SCHILY.filetype", "GNU.sparse.major"};
  craft(R"(
for flag in b'123467KV':
    write_tgz('type-%c.tgz' % flag,
              header('node', flag=bytes([flag]), magic=GNU, link='/etc/passwd'), entry('after'), END)
for i, name in enumerate(['../x', 'a/../../x', '/tmp/x', 'a\\b', 'C:x']):
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
write_tgz('half-header.tgz', b'\1' * 100)
block = bytearray(header('f', 0))
block[148:156] = b'0000010\0'
write_tgz('checksum.tgz', bytes(block), END)
block[148:156] = b' ' * 8
print(sum(block), end='', file=open('sum', 'w'))

write_tgz('mode-spaces.tgz', entry('f', 'x', mode_field=b'  +755 \0'), END)
# GNU tar's checksum of a header with bytes above 0x7f, summed as signed bytes.
signed = bytearray(header('caf\u00e9', 1))
signed[148:156] = b' ' * 8
signed[148:156] = b'%06o\x00 ' % sum(b - 256 if b > 127 else b for b in signed)
write_tgz('signed.tgz', bytes(signed), b'x' + bytes(511), END)
write_tgz('dots.tgz', entry('./bin/x', 'x'), entry('.//share/./y', 'y'), entry('./', flag=b'5'), END)
with_pax('ignored.tgz', b'x', [('mtime', '1700000000.25'), ('comment', 'ignored')],
         entry('run', '#!/bin/sh\n', mode=0o750), END)
write_tgz('no-end.tgz', entry('g', 'x'))
write_tgz('after-end.tgz', entry('h', 'x'), END, entry('ignored', 'x'))
)");
  std::vector<std::pair<std::string, std::string>> refused = {
      {"type-1.tgz", refusal("a hard link", '1')},
      {"type-2.tgz", refusal("a symbolic link", '2')},
      {"type-3.tgz", refusal("a character device", '3')},
      {"type-4.tgz", refusal("a block device", '4')},
      {"type-6.tgz", refusal("a FIFO", '6')},
      {"type-7.tgz", refusal("a contiguous file", '7')},
      {"type-K.tgz", refusal("a GNU long link name", 'K')},
      {"type-V.tgz", refusal("an entry type outside the format this reader accepts", 'V')},
      {"empty.tgz", "archive entry has an empty path"},
      {"name-0.tgz", "archive entry ../x climbs out of the destination"},
      {"name-1.tgz", "archive entry a/../../x climbs out of the destination"},
      {"name-2.tgz", "archive entry /tmp/x is an absolute path"},
      {"name-3.tgz",
       "archive entry a\\b contains a backslash, which names a different file on each system"},
      {"name-4.tgz", "archive entry C:x carries a drive letter"},
      {"prefix.tgz", "archive entry ../x climbs out of the destination"},  // the ustar prefix
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
      {"half-header.tgz", "archive ended in the middle of a header"},
  };
  for (const std::string& key : pax_keys) refused.emplace_back(key + ".tgz", pax_refusal(key));
  for (const auto& [name, message] : refused) EXPECT_EQ(failure(name, kTgz), message) << name;
  expect_nothing_outside();

  // A mode in spaces, a signed checksum, "." and empty segments, pax keys
  // that change nothing, no end blocks, and entries after them (ignored).
  const std::pair<const char*, uint64_t> accepted[] = {
      {"mode-spaces.tgz", 1}, {"signed.tgz", 1}, {"dots.tgz", 2},
      {"ignored.tgz", 1},     {"no-end.tgz", 1}, {"after-end.tgz", 1}};
  for (const auto& [good, files] : accepted) EXPECT_EQ(extracted(good, kTgz), files) << good;
  EXPECT_EQ(tree_listing(dest()), (Lines{"bin/", "bin/x", "caf\u00e9", "f", "g", "h", "run",
                                         "share/", "share/y"}));
  EXPECT_EQ(mode_of(dest("f")), 0755u);
  EXPECT_EQ(mode_of(dest("run")), 0750u);
  EXPECT_EQ(read_text(dest("caf\u00e9")), "x");
}

}  // namespace
}  // namespace velk::testing
