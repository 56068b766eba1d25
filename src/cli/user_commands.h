// Runs one parsed user command. A command prints its text to `out` as it
// goes; an Error ends it, and the entry reports that on standard error.
#pragma once

#include <ostream>

#include "cli/user_command.h"
#include "core/error.h"

namespace velk {

Status run_user_command(const UserCommand& command, std::ostream& out);

}  // namespace velk
