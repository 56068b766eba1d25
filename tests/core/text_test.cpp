#include "core/text.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(QuotedForm, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted_form("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted_form(std::string("t\tr\rn\nz\0", 8)), "\"t\\tr\\rn\\nz\\0\"");
  EXPECT_EQ(quoted_form("\x07"), "\"\\u{7}\"");
  EXPECT_EQ(quoted_form("\x7f"), "\"\\u{7f}\"");
  // A no-break space and a zero-width space are not printable; letters are.
  EXPECT_EQ(quoted_form("a\u00a0b\u200bc"), "\"a\\u{a0}b\\u{200b}c\"");
  EXPECT_EQ(quoted_form("Lpt\u00b9 \u00e9"), "\"Lpt\u00b9 \u00e9\"");
  // Invalid UTF-8 becomes the replacement character.
  EXPECT_EQ(quoted_form("a\xff" "b"), "\"a\uFFFDb\"");
}

TEST(LossyUtf8, ReplacesEachMaximalInvalidSubpart) {
  EXPECT_EQ(lossy_utf8("ok"), "ok");
  // A truncated three-byte sequence is one subpart; a lone continuation byte
  // is another.
  EXPECT_EQ(lossy_utf8("\xe2\x82" "x\x80"), "\uFFFDx\uFFFD");
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));  // an encoded surrogate
  EXPECT_TRUE(is_valid_utf8("\xf0\x90\x80\x80"));
}

TEST(UnicodeLower, UsesTheFullMapping) {
  EXPECT_EQ(unicode_lower("CON"), "con");
  EXPECT_EQ(unicode_lower("\u212a"), "k");  // Kelvin sign
  EXPECT_EQ(unicode_lower("Lpt\u00b9"), "lpt\u00b9");
  EXPECT_EQ(unicode_lower("\u0130"), "i\u0307");
}

}  // namespace
}  // namespace velk
