#include "cli/user_commands.h"

#include <cstdlib>
#include <string>

#include "cli/adopt_command.h"
#include "cli/hold_commands.h"
#include "cli/change_commands.h"
#include "cli/report_commands.h"
#include "cli/software_commands.h"

namespace velk {

Status run_user_command(const UserCommand& command, std::ostream& out) {
  switch (command.word) {
    case UserWord::list: return run_list(out);
    case UserWord::status: return run_status(command.target, out);
    case UserWord::diff: return run_diff(command.target, out);
    case UserWord::backups: return run_backups(command.target, out);
    case UserWord::software: return run_software(command.prefix, out);
    case UserWord::rollback: return run_rollback(command.prefix, command.to, out);
    case UserWord::hold: return run_hold(command, out);
    case UserWord::release: return run_release(command, out);
    case UserWord::adopt: return run_adopt(command, out);
    case UserWord::install: return run_install(command.target, command.setup, out);
    case UserWord::select: return run_select(command.target, command.setup, out);
    case UserWord::reinstall: return run_reinstall(command.target, out);
    case UserWord::restore: return run_restore(command.target, command.backup, out);
    case UserWord::remove: return run_remove(command.target, out);
  }
  std::abort();  // every word is handled above

}

}  // namespace velk
