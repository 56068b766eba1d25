// The provider protocol's commands and the parsed request of each. The
// command line produces these; the protocol handlers take them.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bundle/claim.h"
#include "product/declaration.h"
#include "product/operation.h"

namespace velk {

// Numbered in this order; the number selects the name and the help text.
enum class ProviderCommand {
  provider_info,
  validate_bundle,
  plan_operation,
  apply_operation,
  recover_operation,
  status,
  launch,
};

inline constexpr std::array<ProviderCommand, 7> kProviderCommands = {
    ProviderCommand::provider_info,   ProviderCommand::validate_bundle,
    ProviderCommand::plan_operation,  ProviderCommand::apply_operation,
    ProviderCommand::recover_operation, ProviderCommand::status,
    ProviderCommand::launch,
};

// The command word: "provider-info", "validate-bundle", ...
std::string_view provider_command_name(ProviderCommand command);
std::optional<ProviderCommand> parse_provider_command(std::string_view word);

struct ProviderInfoRequest {};

struct ValidateBundleRequest {
  std::string target;
  BundleClaim claim;
};

struct PlanOperationRequest {
  std::string target;
  Operation operation = Operation::install;
  std::string provider_release_digest;
  std::string operation_id;
  std::string expires_at;
  std::optional<std::string> backup_ref;
  std::optional<std::string> permission_profile;
  std::optional<BundleClaim> bundle;
  std::optional<std::string> prefix;
  std::optional<std::string> software_version;
  std::optional<TargetScope> target_scope;
};

struct ApplyOperationRequest {
  std::string target;
  std::string plan_path;
  std::string plan_digest;
  std::string provider_release_digest;
  std::optional<BundleClaim> bundle;
  std::optional<std::string> prefix;
  std::vector<std::string> software_artifacts;  // in the order given
};

struct RecoverOperationRequest {
  std::string target;
};

struct StatusRequest {
  std::string target;
  std::optional<TargetScope> target_scope;
};

struct LaunchRequest {
  std::string target;
  std::string prefix;
  std::vector<std::string> args;  // everything after the first bare "--"
};

// One alternative per command, in ProviderCommand order.
using ProviderRequest =
    std::variant<ProviderInfoRequest, ValidateBundleRequest, PlanOperationRequest,
                 ApplyOperationRequest, RecoverOperationRequest, StatusRequest, LaunchRequest>;

inline ProviderCommand command_of(const ProviderRequest& request) {
  return static_cast<ProviderCommand>(request.index());
}

}  // namespace velk
