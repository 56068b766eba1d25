// The grammar of the commands people type: a word, positional arguments and
// at most five valued flags.
#pragma once

#include <span>
#include <string>

#include "cli/argument_error.h"
#include "cli/user_command.h"
#include "core/error.h"

namespace velk {

// Parses the arguments that follow the command word. The first failure in
// reading order, then in the fixed order of the checks, decides the message.
Result<UserCommand, ArgumentError> parse_user_command(UserWord word,
                                                      std::span<const std::string> args);

}  // namespace velk
