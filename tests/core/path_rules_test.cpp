#include "core/path_rules.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

using namespace std::string_literals;

const std::string kDevice = " on Windows -- with or without an extension, and in any case";
const std::string kReserved = ", one of the characters Windows reserves inside a name";
const std::string kColon =
    ", which carries a colon; on Windows that opens an alternate data stream rather than naming "
    "a file, wherever in the segment it appears";
const std::string kTrailing =
    ", which ends in a space or a period; Windows does not give a file or directory such a name";

struct Refusal {
  std::string path;
  ReasonCode code;
  std::string message;
};

void expect_refusals(const std::vector<Refusal>& rows) {
  for (const Refusal& row : rows) {
    SCOPED_TRACE(row.path);
    auto result = check_bundle_path(row.path);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(reason_name(result.error().code), reason_name(row.code));
    EXPECT_EQ(result.error().message, row.message);
  }
}

void expect_passes(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    auto result = check_bundle_path(path);
    EXPECT_TRUE(result.ok()) << path << ": " << result.error().message;
  }
}

constexpr auto kNotRelative = ReasonCode::path_not_relative;

TEST(BundlePath, RefusesAbsoluteAndDriveLetterPaths) {
  expect_refusals({
      {"", kNotRelative, "a bundle path is not empty"},
      {"/etc/x", kNotRelative, R"("/etc/x" is not relative)"},
      {"~/x", kNotRelative, R"("~/x" is not relative)"},
      {"\\x", kNotRelative, R"("\\x" is not relative)"},
      {"C:x", kNotRelative, R"("C:x" carries a drive letter)"},
      {"1:x", kNotRelative, R"("1:x" carries a drive letter)"},
      {"C:", kNotRelative, R"("C:" carries a drive letter)"},
      {"/:x", kNotRelative, R"("/:x" is not relative)"},
  });
}

TEST(BundlePath, CountsLengthsInBytes) {
  // Five segments of at most 255 bytes making exactly 1024 bytes.
  const std::string seg(255, 'x');
  const std::string full = seg + "/" + seg + "/" + seg + "/" + std::string(254, 'y') + "/z";
  ASSERT_EQ(full.size(), 1024u);
  // 127 two-byte letters and one more byte make a 255-byte segment.
  std::string accented;
  for (int i = 0; i < 127; ++i) accented += "\u00e9";
  expect_passes({full, "d/" + seg, "d/" + accented + "a"});

  // One byte more fails on length before any segment (here "..") is looked at.
  const std::string too_long = "../" + full.substr(2);
  ASSERT_EQ(too_long.size(), 1025u);
  const std::string wide = accented + "\u00e9";
  expect_refusals({
      {too_long, ReasonCode::limit_exceeded, "\"" + too_long + "\" is longer than 1024 bytes"},
      {"d/" + seg + "x", ReasonCode::limit_exceeded,
       "\"d/" + seg + "x\" has a segment longer than 255 bytes"},
      {wide, ReasonCode::limit_exceeded, "\"" + wide + "\" has a segment longer than 255 bytes"},
  });
}

// One table for the segment rules and the whole-path rules, in the order
// they are applied: the first broken segment is reported before any
// whole-path rule (control character, backslash, credential name).
TEST(BundlePath, RefusesSegmentsAndNamesThatAreNotPortableOrSafe) {
  auto device = [](std::string path, std::string segment, std::string name) {
    return Refusal{path, kNotRelative,
                   "\"" + path + "\" has the segment \"" + segment +
                       "\", which names the reserved device " + name + kDevice};
  };
  auto carries = [](std::string path, std::string segment, char c) {
    return Refusal{path, kNotRelative,
                   "\"" + path + "\" has the segment \"" + segment + "\", which carries '" + c +
                       "'" + kReserved};
  };
  const auto cred = ReasonCode::special_file_not_allowed;
  const std::string tail = " is named like a credential and is refused by name";
  expect_refusals({
      {"a/../b", ReasonCode::path_escapes_target, R"("a/../b" climbs out of the target)"},
      {"a/b/", kNotRelative, R"("a/b/" has an empty or bare-dot segment)"},
      {"./a", kNotRelative, R"("./a" has an empty or bare-dot segment)"},
      {"a//b", kNotRelative, R"("a//b" has an empty or bare-dot segment)"},
      {"a/.../b", kNotRelative, R"("a/.../b" has the segment "...")" + kTrailing},
      {"a/con ", kNotRelative, R"("a/con " has the segment "con ")" + kTrailing},
      device("CON", "CON", "con"),
      device("a/con.json", "con.json", "con"),
      device("Lpt\u00b9.tar.gz", "Lpt\u00b9.tar.gz", "lpt\u00b9"),
      device("x/cOm9.", "cOm9.", "com9"),  // the device outranks the trailing period
      carries("d/a<b>", "a<b>", '<'),
      carries("d/x:*", "x:*", '*'),  // any reserved character before the colon rule
      {"a/b\"c", kNotRelative, R"("a/b\"c" has the segment "b\"c", which carries '"')" + kReserved},
      {"a/b:c", kNotRelative, R"("a/b:c" has the segment "b:c")" + kColon},
      {"a/b:.", kNotRelative, R"("a/b:." has the segment "b:.")" + kColon},
      {"a\tb", kNotRelative, R"("a\tb" contains a control character)"},
      {"a\0b"s, kNotRelative, R"("a\0b" contains a control character)"},
      {"a\x7f", kNotRelative, R"("a\u{7f}" contains a control character)"},
      {"a\u0080", kNotRelative, R"("a\u{80}" contains a control character)"},
      {"a\u009f", kNotRelative, R"("a\u{9f}" contains a control character)"},
      {"a\\b", kNotRelative, R"("a\\b" uses a backslash separator)"},
      {"docs/Secrets.md", cred, "\"docs/Secrets.md\"" + tail},
      {"keys/server.PEM", cred, "\"keys/server.PEM\"" + tail},
      {"x/auth.json.bak", cred, "\"x/auth.json.bak\"" + tail},
      {"home/.NETRC", cred, "\"home/.NETRC\"" + tail},
      {"ssh/id_ed25519.pub", cred, "\"ssh/id_ed25519.pub\"" + tail},
      {"secrets\\a\tb", kNotRelative, R"("secrets\\a\tb" contains a control character)"},
      {"secrets\\a", kNotRelative, R"("secrets\\a" uses a backslash separator)"},
      {"a/b:c\t", kNotRelative, R"("a/b:c\t" has the segment "b:c\t")" + kColon},
      {"a\\b/", kNotRelative, R"("a\\b/" has an empty or bare-dot segment)"},
      {"secrets/../x", ReasonCode::path_escapes_target,
       R"("secrets/../x" climbs out of the target)"},
      {"a*/../b", kNotRelative,
       R"("a*/../b" has the segment "a*", which carries '*')" + kReserved},
      {"nul/a.", kNotRelative,
       R"("nul/a." has the segment "nul", which names the reserved device nul)" + kDevice},
  });
  expect_passes({"a/.b", "a/..b", "a/b..c", "a/con .txt", ".hidden/x", "icon", "com10", ".con",
                 "dir/null", "lpt", "com0", "aux_", "lpt\u2074", "a\u00a0b", "docs/secret.md",
                 "pem/x", "id_rs", "x/p12", "\u212a/k"});
}

// The plainer refusals are compared end to end by the tar extraction tests.
TEST(ArchiveEntryPath, AppliesTheLighterRules) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"\\a", "archive entry \\a is an absolute path"},
      {"a\0b"s, "archive entry path contains a NUL byte"},
      {"C:\0"s, "archive entry path contains a NUL byte"},
      {"C:/../x", "archive entry C:/../x carries a drive letter"},
      {"a/../b", "archive entry a/../b climbs out of the destination"},
      {"..", "archive entry .. climbs out of the destination"},
      {"/a\tb", "archive entry /a\tb is an absolute path"},
  };
  for (const auto& [name, message] : refused) {
    auto result = check_archive_entry_path(name);
    ASSERT_FALSE(result.ok()) << name;
    EXPECT_EQ(result.error().message, message);
  }
  const std::string long_name(5000, 'x');
  for (std::string name : {"a/b/"s, "./a"s, "a//b"s, "."s, "a/./b"s, "a/..b"s, "..."s, "~/x"s,
                           "con"s, "ab:c"s, "a/b:c"s, "secrets/id_rsa"s, "a\tb"s, long_name}) {
    auto result = check_archive_entry_path(name);
    ASSERT_TRUE(result.ok()) << name << ": " << result.error().message;
    EXPECT_EQ(*result, name);
  }
}

}  // namespace
}  // namespace velk
