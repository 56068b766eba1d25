// The typed command grammar (parse_user_word, then parse_user_command) on the
// input split at NUL bytes. A refusal has a message and names only documented
// codes; an accepted command holds what its word requires and, written back
// as arguments, parses again as the same command.
#include <span>

#include "cli/user_command.h"
#include "cli/user_grammar.h"
#include "cli/user_table.h"
#include "support/fuzz_support.h"

namespace {

std::vector<std::string> arguments_of(const UserCommand& c) {
  std::vector<std::string> args;
  if (user_word_row(c.word).setup_name) {
    args = {"--target", c.target, c.setup};
  } else if (user_word_requires(c.word, "--prefix")) {
    args = {"--prefix", c.prefix};
    if (c.to) args.insert(args.end(), {"--to", *c.to});
  } else if (user_word_requires(c.word, "--target")) {
    args = {"--target", c.target};
    if (c.backup) args.insert(args.end(), {"--backup", *c.backup});
    if (c.reason) args.insert(args.end(), {"--reason", *c.reason});
  }
  return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> args = split_arguments(as_text(data, size));
  if (args.empty()) return 0;
  const std::optional<UserWord> word = parse_user_word(args[0]);
  if (!word) return 0;
  VELK_FUZZ_CHECK(user_word_name(*word) == args[0], args[0]);
  const std::span<const std::string> rest(args.begin() + 1, args.end());
  const auto command = parse_user_command(*word, rest);
  if (refused(command)) return 0;
  VELK_FUZZ_CHECK(command->word == *word, args[0]);
  if (user_word_row(*word).setup_name) VELK_FUZZ_CHECK(!is_flag(command->setup), command->setup);
  if (command->backup)
    VELK_FUZZ_CHECK(user_word_takes(*word, "--backup"), "--backup kept by " + args[0]);
  if (command->reason)
    VELK_FUZZ_CHECK(user_word_takes(*word, "--reason"), "--reason kept by " + args[0]);
  if (command->to) VELK_FUZZ_CHECK(user_word_takes(*word, "--to"), "--to kept by " + args[0]);

  const UserCommand again = must(parse_user_command(*word, arguments_of(*command)));
  VELK_FUZZ_CHECK(again == *command, "the command written back parses differently");
  return 0;
}
