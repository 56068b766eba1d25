// The operations of the provider protocol, in their fixed order, and the
// adoption a user command performs, which the protocol never offers.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace velk {

enum class Operation {
  install,
  replace,
  backup,
  restore,
  remove,
  software_install,
  software_update,
  software_remove,
  launch,
  adopt,  // a user command's plan only: not in kOperations, never parsed
};

inline constexpr std::array<Operation, 9> kOperations = {
    Operation::install,          Operation::replace,         Operation::backup,
    Operation::restore,          Operation::remove,          Operation::software_install,
    Operation::software_update,  Operation::software_remove, Operation::launch,
};

std::string_view operation_name(Operation op);
// An operation of the protocol by name; "adopt" is not one.
std::optional<Operation> parse_operation(std::string_view name);
// software_install, software_update and software_remove.
bool is_software_operation(Operation op);

}  // namespace velk
