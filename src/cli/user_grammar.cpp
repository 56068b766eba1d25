#include "cli/user_grammar.h"

#include <optional>
#include <utility>
#include <vector>

#include "cli/user_table.h"

namespace velk {
namespace {

ArgumentError fail(std::string message) { return ArgumentError{std::move(message), std::nullopt}; }

}  // namespace

Result<UserCommand, ArgumentError> parse_user_command(UserWord word,
                                                      std::span<const std::string> args) {
  const std::string name(user_word_name(word));
  std::optional<std::string> target, backup, prefix, reason, to;
  const std::pair<std::string_view, std::optional<std::string>*> valued[] = {
      {"--target", &target}, {"--backup", &backup}, {"--prefix", &prefix},
      {"--reason", &reason}, {"--to", &to},
  };
  std::vector<std::string> positional;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!is_flag(arg)) {
      positional.push_back(arg);
      continue;
    }
    std::optional<std::string>* slot = nullptr;
    for (const auto& [flag, field] : valued)
      if (arg == flag) slot = field;
    if (slot == nullptr) return fail(arg + " is not an argument of " + name);
    if (i + 1 == args.size() || is_flag(args[i + 1])) return fail(arg + " has no value");
    if (slot->has_value()) return fail(arg + " was given twice");
    *slot = args[++i];
  }

  // Flags the word does not take, checked in this fixed order; a --target
  // is never refused here.
  if (backup && !user_word_takes(word, "--backup"))
    return fail("--backup is not an argument of " + name);
  if (prefix && !user_word_takes(word, "--prefix"))
    return fail("--prefix is not an argument of " + name);
  if (to && !user_word_takes(word, "--to")) return fail("--to is not an argument of " + name);
  if (reason && !user_word_takes(word, "--reason"))
    return fail("--reason is not an argument of " + name);

  const std::string needs_target = name + " requires --target <absolute-directory>";
  UserCommand command;
  command.word = word;
  if (user_word_row(word).setup_name) {
    if (!target) return fail(needs_target);
    if (positional.empty()) return fail(name + " requires a setup name; run `list` to see them");
    if (positional.size() > 1) return fail(name + " takes one setup name");
    command.target = *target;
    command.setup = positional.front();
    return command;
  }
  if (!positional.empty()) return fail(name + " takes no setup name");
  if (user_word_requires(word, "--prefix")) {
    // A --target given here is accepted and ignored.
    if (!prefix) return fail(name + " requires --prefix <absolute-directory>");
    command.prefix = *prefix;
    command.to = to;
    return command;
  }
  if (!user_word_requires(word, "--target")) return command;  // list: a --target is ignored
  if (!target) return fail(needs_target);
  command.target = *target;
  command.backup = backup;
  command.reason = reason;
  return command;
}

}  // namespace velk
