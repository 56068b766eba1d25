// The user commands of the program directory: `software` prints what is
// installed under a prefix and which version the command runs; `rollback`
// points the command at another installed version, without the network.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "core/error.h"

namespace velk {

Status run_software(std::string_view prefix, std::ostream& out);
Status run_rollback(std::string_view prefix, const std::optional<std::string>& to,
                    std::ostream& out);

}  // namespace velk
