// A parsed user command: the command word and the fields it was given.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

enum class UserWord {
  list,
  status,
  diff,
  backups,
  install,
  select,
  reinstall,
  restore,
  hold,
  release,
  remove,
  adopt,
  software,
  rollback,
};

inline constexpr std::array<UserWord, 14> kUserWords = {
    UserWord::list,      UserWord::status,  UserWord::diff,    UserWord::backups,
    UserWord::install,   UserWord::select,  UserWord::reinstall, UserWord::restore,
    UserWord::hold,      UserWord::release, UserWord::remove,  UserWord::adopt,
    UserWord::software,  UserWord::rollback,
};

std::string_view user_word_name(UserWord word);
std::optional<UserWord> parse_user_word(std::string_view word);

// Fields a word does not take stay empty. The parser only checks that a
// required target or prefix is present; the commands judge the paths.
struct UserCommand {
  UserWord word = UserWord::list;
  std::string target;                 // all but list, software, rollback
  std::string setup;                  // install, select
  std::optional<std::string> backup;  // restore, hold, release
  std::optional<std::string> reason;  // hold
  std::string prefix;                 // software, rollback
  std::optional<std::string> to;      // rollback
  bool operator==(const UserCommand&) const = default;
};

}  // namespace velk
