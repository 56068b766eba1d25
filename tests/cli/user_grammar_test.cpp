#include "cli/user_grammar.h"

#include <gtest/gtest.h>

#include "cli/user_table.h"

namespace velk {
namespace {

using Words = std::vector<std::string>;

Result<UserCommand, ArgumentError> parse(const Words& words) {
  const std::optional<UserWord> word = parse_user_word(words.at(0));
  if (!word) std::abort();
  return parse_user_command(*word, std::span<const std::string>(words).subspan(1));
}

struct Refused {
  Words words;
  std::string message;
};

TEST(UserGrammar, RefusesWithTheFirstFailure) {
  // docs/troubleshooting.md shows the common mistakes; these are the orders.
  const std::vector<Refused> cases = {
      {{"diff", "--", "--target", "/t"}, "-- is not an argument of diff"},
      {{"install", "a", "b", "--nope"}, "--nope is not an argument of install"},
      {{"list", "--target", "--"}, "--target has no value"},
      {{"rollback", "--to", "1", "--to", "2"}, "--to was given twice"},
      // Flags a word does not take, in the fixed order backup, prefix, to, reason.
      {{"status", "--backup", "b", "--prefix", "p", "--target", "/t"},
       "--backup is not an argument of status"},
      {{"status", "--reason", "r", "--to", "v", "--prefix", "p"},
       "--prefix is not an argument of status"},
      {{"software", "--reason", "r", "--to", "v", "--prefix", "/p"},
       "--to is not an argument of software"},
      {{"rollback", "--prefix", "/p", "--reason", "r"}, "--reason is not an argument of rollback"},
      {{"adopt", "extra", "--backup", "b"}, "--backup is not an argument of adopt"},
      // A setup name is refused before a missing --prefix.
      {{"software", "x"}, "software takes no setup name"},
  };
  for (const Refused& c : cases) {
    auto parsed = parse(c.words);
    ASSERT_FALSE(parsed.ok()) << c.words.at(0) << " / " << c.message;
    EXPECT_EQ(parsed.error().message, c.message);
    EXPECT_FALSE(parsed.error().code.has_value()) << c.message;
  }
}

TEST(UserGrammar, EveryWordThatNeedsATargetSaysSo) {
  for (UserWord word : kUserWords) {
    if (word == UserWord::list || word == UserWord::software || word == UserWord::rollback)
      continue;
    const std::string name(user_word_name(word));
    auto parsed = parse({name});
    ASSERT_FALSE(parsed.ok()) << name;
    EXPECT_EQ(parsed.error().message, name + " requires --target <absolute-directory>");
  }
}

// The fuzz target parses every accepted command written back as arguments;
// these are the words that look like flags and the flags left out.
TEST(UserGrammar, ReadsPositionalArgumentsAndValuesAndLeavesOutTheRest) {
  EXPECT_EQ(parse({"install", "--target", "/t", "minimal"}).value(),
            (UserCommand{.word = UserWord::install, .target = "/t", .setup = "minimal"}));
  // "-" and "" are setup names, not flags; a value may itself begin with one dash.
  EXPECT_EQ(parse({"select", "-", "--target", "/t"})->setup, "-");
  EXPECT_EQ(parse({"select", "", "--target", "/t"})->setup, "");
  EXPECT_EQ(parse({"hold", "--target", "/t", "--backup", "b", "--reason", "-x"})->reason, "-x");
  // A stray --target is ignored where no target is taken.
  EXPECT_EQ(parse({"rollback", "--target", "/x", "--prefix", "/p", "--to", "1.0.13"}).value(),
            (UserCommand{.word = UserWord::rollback, .prefix = "/p", .to = "1.0.13"}));
}

}  // namespace
}  // namespace velk
