#include "cli/user_commands.h"

#include <string>

namespace velk {

Status run_user_command(const UserCommand& command, std::ostream&) {
  // No command is wired in yet; each says so rather than pretending.
  return make_error(ErrorKind::unsupported_operation,
                    std::string(user_word_name(command.word)) + " is not available in this build yet");
}

}  // namespace velk
