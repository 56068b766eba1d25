#include "cli/user_grammar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/user_table.h"

namespace velk {
namespace {

using Words = std::vector<std::string>;

// Parses a command line whose first word is a user command word.
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
  const std::vector<Refused> cases = {
      // Flags that are not among the five valued ones, named as typed.
      {{"diff", "--help", "--target", "/t"}, "--help is not an argument of diff"},
      {{"diff", "--", "--target", "/t"}, "-- is not an argument of diff"},
      {{"reinstall", "--target=/t"}, "--target=/t is not an argument of reinstall"},
      // Reading order decides before the checks that follow reading.
      {{"install", "a", "b", "--nope"}, "--nope is not an argument of install"},
      // Missing values: at the end, or followed by a flag.
      {{"restore", "--target", "--backup", "b"}, "--target has no value"},
      {{"hold", "--target", "/t", "--backup"}, "--backup has no value"},
      {{"list", "--target", "--"}, "--target has no value"},
      {{"restore", "--target", "/a", "--target", "/b"}, "--target was given twice"},
      {{"rollback", "--to", "1", "--to", "2"}, "--to was given twice"},
      // Flags a word does not take, in the fixed order backup, prefix, to, reason.
      {{"status", "--backup", "b", "--prefix", "p", "--target", "/t"},
       "--backup is not an argument of status"},
      {{"status", "--reason", "r", "--to", "v", "--prefix", "p"},
       "--prefix is not an argument of status"},
      {{"software", "--reason", "r", "--to", "v", "--prefix", "/p"},
       "--to is not an argument of software"},
      {{"restore", "--reason", "x", "--target", "/t"}, "--reason is not an argument of restore"},
      {{"rollback", "--prefix", "/p", "--reason", "r"}, "--reason is not an argument of rollback"},
      {{"install", "--backup", "x"}, "--backup is not an argument of install"},
      {{"adopt", "extra", "--backup", "b"}, "--backup is not an argument of adopt"},
      // install and select: the target first, then exactly one setup name.
      {{"install", "--target", "/t"}, "install requires a setup name; run `list` to see them"},
      {{"select", "a", "b", "--target", "/t"}, "select takes one setup name"},
      // Every other word refuses a setup name before asking for a target.
      {{"list", "extra"}, "list takes no setup name"},
      {{"software", "x"}, "software takes no setup name"},
      {{"software"}, "software requires --prefix <absolute-directory>"},
      {{"rollback", "--to", "1", "--target", "/t"}, "rollback requires --prefix <absolute-directory>"},
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

// The grammar refuses every valued flag but --target that the shared table
// does not give a word (the manual page is held to the same table by the
// dist tests).
TEST(UserGrammar, TakesExactlyTheFlagsOfItsTable) {
  for (UserWord word : kUserWords) {
    const std::string name(user_word_name(word));
    for (std::string_view flag : kUserValuedFlags) {
      if (flag == "--target") continue;  // accepted everywhere, ignored where not taken
      Words line = {name, std::string(flag), "v"};
      if (user_word_row(word).setup_name) line.push_back("minimal");
      if (flag != "--prefix" && user_word_requires(word, "--prefix"))
        line.insert(line.end(), {"--prefix", "/p"});
      if (user_word_requires(word, "--target")) line.insert(line.end(), {"--target", "/t"});
      const auto parsed = parse(line);
      const bool taken = std::ranges::any_of(user_word_row(word).flags,
                                             [&](const UserFlag& f) { return f.flag == flag; });
      if (taken) {
        EXPECT_TRUE(parsed.ok()) << name << " " << flag << ": " << parsed.error().message;
      } else {
        ASSERT_FALSE(parsed.ok()) << name << " " << flag;
        EXPECT_EQ(parsed.error().message, std::string(flag) + " is not an argument of " + name);
      }
    }
  }
}

// The fuzz target parses every accepted command written back as arguments;
// these are the words that look like flags and the flags left out.
TEST(UserGrammar, ReadsPositionalArgumentsAndValuesAndLeavesOutTheRest) {
  UserCommand expected;
  expected.word = UserWord::install;
  expected.target = "/t";
  expected.setup = "minimal";
  EXPECT_EQ(parse({"install", "--target", "/t", "minimal"}).value(), expected);
  // A single dash and an empty word are setup names, not flags; a value may
  // itself begin with one dash.
  EXPECT_EQ(parse({"select", "-", "--target", "/t"})->setup, "-");
  EXPECT_EQ(parse({"select", "", "--target", "/t"})->setup, "");
  EXPECT_EQ(parse({"hold", "--target", "/t", "--backup", "b", "--reason", "-x"})->reason, "-x");
  // A stray --target is ignored where no target is taken.
  expected = UserCommand{};
  expected.word = UserWord::rollback;
  expected.prefix = "/p";
  expected.to = "1.0.13";
  EXPECT_EQ(parse({"rollback", "--target", "/x", "--prefix", "/p", "--to", "1.0.13"}).value(),
            expected);
}

}  // namespace
}  // namespace velk
