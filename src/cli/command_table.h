// The provider command table: each command's description, its required
// flags in order, and the optional flags its help lists. The grammar checks
// the required flags against it and the help text prints it.
#pragma once

#include <span>
#include <string_view>

#include "protocol/request.h"

namespace velk {

struct OptionalFlag {
  std::string_view flag;
  std::string_view description;
};

struct ProviderCommandRow {
  std::string_view description;
  std::span<const std::string_view> required;  // "--json" among them
  std::span<const OptionalFlag> optional;
};

const ProviderCommandRow& provider_command_row(ProviderCommand command);

}  // namespace velk
