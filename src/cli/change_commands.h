// The user commands that change a target's owned surfaces: install,
// select, reinstall, restore and remove. Each builds a real plan through
// the planner a consumer's request goes through and hands it to the same
// apply code; only the content (a catalog setup rather than a bundle) and
// the report (text rather than JSON) differ.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "core/error.h"

namespace velk {

Status run_install(std::string_view target, std::string_view setup, std::ostream& out);
Status run_select(std::string_view target, std::string_view setup, std::ostream& out);
Status run_reinstall(std::string_view target, std::ostream& out);
Status run_restore(std::string_view target, const std::optional<std::string>& backup,
                   std::ostream& out);
Status run_remove(std::string_view target, std::ostream& out);

}  // namespace velk
