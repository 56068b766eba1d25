// `adopt`: takes over a target left by the earlier generation of setup
// tools. It records the setup their stamp names without writing a file of
// it, and moves the stamp where those tools no longer see it.
#pragma once

#include <ostream>

#include "cli/user_command.h"
#include "core/error.h"

namespace velk {

Status run_adopt(const UserCommand& command, std::ostream& out);

}  // namespace velk
