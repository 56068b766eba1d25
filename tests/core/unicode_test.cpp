// The Unicode answers the program gives itself (ASCII at once, the rest
// through the library loaded on demand) against the library asked directly,
// over every code point.
#include <unicode/uchar.h>
#include <unicode/ucasemap.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "core/unicode.h"

namespace velk {
namespace {

// Printable: no control, format, surrogate, private-use, unassigned or separator.
bool library_printable(char32_t c) {
  return (U_GET_GC_MASK(static_cast<UChar32>(c)) & (U_GC_C_MASK | U_GC_Z_MASK)) == 0;
}

std::string library_lower(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open("", 0, &status),
                                                          &ucasemap_close);
  std::string out(text.size() * 3 + 4, '\0');
  const int32_t n = ucasemap_utf8ToLower(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                         text.data(), static_cast<int32_t>(text.size()), &status);
  EXPECT_FALSE(U_FAILURE(status));
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(Unicode, EveryCodePointIsClassifiedAsTheLibraryClassifiesIt) {
  for (char32_t c = 0; c <= 0x10ffff; ++c) {
    // The quoted form prints U+0020 itself and escapes every other space separator.
    ASSERT_EQ(unicode_is_printable(c), c == U' ' || library_printable(c)) << std::hex << static_cast<uint32_t>(c);
    ASSERT_EQ(unicode_is_white_space(c), u_isUWhiteSpace(static_cast<UChar32>(c)) != 0)
        << std::hex << static_cast<uint32_t>(c);
  }
}

TEST(Unicode, TheLowerCaseMappingIsTheLibrarysFullMapping) {
  std::string ascii;
  for (int c = 1; c < 0x80; ++c) ascii += static_cast<char>(c);
  EXPECT_EQ(unicode_to_lower(ascii), library_lower(ascii));
  for (const std::string text :
       {"plugins/Known_Marketplaces.json", "ΟΔΥΣΣΕΥΣ", "İstanbul", "Straße/ǅ", "ÅNGSTRÖM.md",
        "a\u0130b", "ΣΑ Σ", "\u212a/Lpt\u00b9"}) {
    EXPECT_EQ(unicode_to_lower(text), library_lower(text)) << text;
  }
  EXPECT_EQ(unicode_to_lower("ΟΔΥΣΣΕΥΣ"), "οδυσσευς");  // the final sigma, by context
  // Invalid UTF-8 is made valid first, so the folded names still compare.
  EXPECT_EQ(unicode_lower("A\xff"), "a\xef\xbf\xbd");
}

// The escapes themselves and the lossy conversion are checked by the
// quoted_form fuzz target; what it leaves open is which printable text stays.
TEST(QuotedForm, EscapesWhatIsNotPrintableAndKeepsLetters) {
  EXPECT_EQ(quoted_form("a\u00a0b\u200bc"), "\"a\\u{a0}b\\u{200b}c\"");
  EXPECT_EQ(quoted_form("Lpt\u00b9 \u00e9"), "\"Lpt\u00b9 \u00e9\"");
}

TEST(LossyUtf8, ReplacesEachMaximalInvalidSubpart) {
  EXPECT_EQ(lossy_utf8("ok"), "ok");
  // A truncated three-byte sequence is one subpart, a lone continuation byte another.
  EXPECT_EQ(lossy_utf8("\xe2\x82" "x\x80"), "\uFFFDx\uFFFD");
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));  // an encoded surrogate
  EXPECT_TRUE(is_valid_utf8("\xf0\x90\x80\x80"));
}

}  // namespace
}  // namespace velk
