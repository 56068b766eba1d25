#include "cli/user_command.h"

#include <cstdlib>

namespace velk {

std::string_view user_word_name(UserWord word) {
  switch (word) {
    case UserWord::list: return "list";
    case UserWord::status: return "status";
    case UserWord::diff: return "diff";
    case UserWord::backups: return "backups";
    case UserWord::install: return "install";
    case UserWord::select: return "select";
    case UserWord::reinstall: return "reinstall";
    case UserWord::restore: return "restore";
    case UserWord::hold: return "hold";
    case UserWord::release: return "release";
    case UserWord::remove: return "remove";
    case UserWord::adopt: return "adopt";
    case UserWord::software: return "software";
    case UserWord::rollback: return "rollback";
  }
  std::abort();
}

std::optional<UserWord> parse_user_word(std::string_view word) {
  for (UserWord w : kUserWords)
    if (user_word_name(w) == word) return w;
  return std::nullopt;
}

}  // namespace velk
