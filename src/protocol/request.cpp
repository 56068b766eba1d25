#include "protocol/request.h"

#include <cstdlib>

namespace velk {

std::string_view provider_command_name(ProviderCommand command) {
  switch (command) {
    case ProviderCommand::provider_info: return "provider-info";
    case ProviderCommand::validate_bundle: return "validate-bundle";
    case ProviderCommand::plan_operation: return "plan-operation";
    case ProviderCommand::apply_operation: return "apply-operation";
    case ProviderCommand::recover_operation: return "recover-operation";
    case ProviderCommand::status: return "status";
    case ProviderCommand::launch: return "launch";
  }
  std::abort();
}

std::optional<ProviderCommand> parse_provider_command(std::string_view word) {
  for (ProviderCommand command : kProviderCommands)
    if (provider_command_name(command) == word) return command;
  return std::nullopt;
}

}  // namespace velk
