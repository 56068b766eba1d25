#include "cli/user_table.h"

#include <cstdlib>

namespace velk {
namespace {

constexpr std::array<UserFlag, 1> kTarget = {{{"--target", true}}};
// hold and release without --backup are answered by the command itself,
// with the slots the pool holds.
constexpr std::array<UserFlag, 2> kTargetAndBackup = {{{"--target", true}, {"--backup", false}}};
constexpr std::array<UserFlag, 3> kHold = {
    {{"--target", true}, {"--backup", false}, {"--reason", false}}};
constexpr std::array<UserFlag, 1> kPrefix = {{{"--prefix", true}}};
// rollback without --to is answered by the command, with the versions held.
constexpr std::array<UserFlag, 2> kRollback = {{{"--prefix", true}, {"--to", false}}};

constexpr UserWordRow kNothing{false, {}};
constexpr UserWordRow kTargetOnly{false, kTarget};
constexpr UserWordRow kSetupAndTarget{true, kTarget};
constexpr UserWordRow kRestoreRow{false, kTargetAndBackup};
constexpr UserWordRow kHoldRow{false, kHold};
constexpr UserWordRow kReleaseRow{false, kTargetAndBackup};
constexpr UserWordRow kSoftwareRow{false, kPrefix};
constexpr UserWordRow kRollbackRow{false, kRollback};

const UserFlag* find_flag(UserWord word, std::string_view flag) {
  for (const UserFlag& f : user_word_row(word).flags)
    if (f.flag == flag) return &f;
  return nullptr;
}

}  // namespace

const UserWordRow& user_word_row(UserWord word) {
  switch (word) {
    case UserWord::list: return kNothing;
    case UserWord::status:
    case UserWord::diff:
    case UserWord::backups:
    case UserWord::reinstall:
    case UserWord::remove:
    case UserWord::adopt: return kTargetOnly;
    case UserWord::install:
    case UserWord::select: return kSetupAndTarget;
    case UserWord::restore: return kRestoreRow;
    case UserWord::hold: return kHoldRow;
    case UserWord::release: return kReleaseRow;
    case UserWord::software: return kSoftwareRow;
    case UserWord::rollback: return kRollbackRow;
  }
  std::abort();
}

bool user_word_takes(UserWord word, std::string_view flag) {
  return find_flag(word, flag) != nullptr;
}

bool user_word_requires(UserWord word, std::string_view flag) {
  const UserFlag* f = find_flag(word, flag);
  return f != nullptr && f->required;
}

}  // namespace velk
