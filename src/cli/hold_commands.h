// `hold` and `release`: keep one backup slot out of the pool's rotation, or
// give it back. They act on the pool directly; no lock, no journal.
#pragma once

#include <ostream>

#include "cli/user_command.h"
#include "core/error.h"

namespace velk {

Status run_hold(const UserCommand& command, std::ostream& out);
Status run_release(const UserCommand& command, std::ostream& out);

}  // namespace velk
