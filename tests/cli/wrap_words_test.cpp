#include <gtest/gtest.h>

#include "cli/report_commands.h"

namespace velk {
namespace {

using Lines = std::vector<std::string>;

TEST(WrapWords, FillsGreedilyUpToSeventyTwoCharactersNotBytes) {
  const std::string a(60, 'a');
  // 60 + 1 + 11 = 72 fits; one more character does not.
  EXPECT_EQ(wrap_words(a + " " + std::string(11, 'b')), (Lines{a + " " + std::string(11, 'b')}));
  EXPECT_EQ(wrap_words(a + " " + std::string(12, 'b')), (Lines{a, std::string(12, 'b')}));
  // 35 + 1 + 36 = 72 characters fit on one line although they are 143 bytes.
  std::string word;
  for (int i = 0; i < 35; ++i) word += "\xc3\xa9";
  const std::string longer = word + "\xc3\xa9";
  EXPECT_EQ(wrap_words(word + " " + longer), (Lines{word + " " + longer}));
  EXPECT_EQ(wrap_words(longer + " " + longer), (Lines{longer, longer}));
  // A longer word stands alone, uncut.
  const std::string long_word(90, 'x');
  EXPECT_EQ(wrap_words("a " + long_word + " b"), (Lines{"a", long_word, "b"}));
}

TEST(WrapWords, BreaksAtEveryUnicodeWhiteSpaceAndKeepsNoneOfIt) {
  EXPECT_EQ(wrap_words("one two  three"), (Lines{"one two three"}));
  // Tab, line feed, no-break space, ideographic space, line separator.
  EXPECT_EQ(wrap_words(" a\tb\nc\xc2\xa0" "d\xe3\x80\x80" "e\xe2\x80\xa8" "f  "),
            (Lines{"a b c d e f"}));
  // A zero-width space is not white space: it stays inside the word.
  EXPECT_EQ(wrap_words("a\xe2\x80\x8b" "b"), (Lines{"a\xe2\x80\x8b" "b"}));
  EXPECT_TRUE(wrap_words("").empty());
  EXPECT_TRUE(wrap_words(" \t\n ").empty());
}

}  // namespace
}  // namespace velk
