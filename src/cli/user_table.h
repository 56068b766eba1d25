// The user command table: which of the five valued flags each word takes,
// which of them the grammar insists on, and whether the word takes a setup
// name. The grammar consults it; the shell completion is generated from it
// and the manual page is checked against it.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "cli/user_command.h"

namespace velk {

// The valued flags of the user grammar, in reading order. Every word reads
// all five; the table says which ones a word takes.
inline constexpr std::array<std::string_view, 5> kUserValuedFlags = {
    "--target", "--backup", "--prefix", "--reason", "--to"};

struct UserFlag {
  std::string_view flag;
  bool required;  // the grammar refuses the word without it
};

struct UserWordRow {
  bool setup_name;                  // exactly one positional setup name
  std::span<const UserFlag> flags;  // the flags the word takes, in usage order
};

const UserWordRow& user_word_row(UserWord word);

// Whether `word` takes `flag`, and whether the grammar requires it. A
// --target given to a word that does not take it is accepted and ignored.
bool user_word_takes(UserWord word, std::string_view flag);
bool user_word_requires(UserWord word, std::string_view flag);

}  // namespace velk
