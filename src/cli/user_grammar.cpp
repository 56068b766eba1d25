#include "cli/user_grammar.h"

#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

namespace velk {
namespace {

ArgumentError fail(std::string message) { return ArgumentError{std::move(message), std::nullopt}; }

bool one_of(UserWord word, std::initializer_list<UserWord> words) {
  for (UserWord w : words)
    if (w == word) return true;
  return false;
}

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

  using W = UserWord;
  if (backup && !one_of(word, {W::hold, W::restore, W::release}))
    return fail("--backup is not an argument of " + name);
  if (prefix && !one_of(word, {W::software, W::rollback}))
    return fail("--prefix is not an argument of " + name);
  if (to && word != W::rollback) return fail("--to is not an argument of " + name);
  if (reason && word != W::hold) return fail("--reason is not an argument of " + name);

  const std::string needs_target = name + " requires --target <absolute-directory>";
  UserCommand command;
  command.word = word;
  if (one_of(word, {W::install, W::select})) {
    if (!target) return fail(needs_target);
    if (positional.empty()) return fail(name + " requires a setup name; run `list` to see them");
    if (positional.size() > 1) return fail(name + " takes one setup name");
    command.target = *target;
    command.setup = positional.front();
    return command;
  }
  if (!positional.empty()) return fail(name + " takes no setup name");
  if (one_of(word, {W::software, W::rollback})) {
    // A --target given here is accepted and ignored.
    if (!prefix) return fail(name + " requires --prefix <absolute-directory>");
    command.prefix = *prefix;
    command.to = to;
    return command;
  }
  if (word == W::list) return command;  // a --target is accepted and ignored
  if (!target) return fail(needs_target);
  command.target = *target;
  command.backup = backup;
  command.reason = reason;
  return command;
}

}  // namespace velk
