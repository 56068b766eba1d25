// The reporting user commands: list, status, diff and backups. They print
// plain text and change nothing: no lock is taken, nothing is created in a
// target. An error ends the command; lines printed before it stay printed.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace velk {

Status run_list(std::ostream& out);
Status run_status(std::string_view target, std::ostream& out);
Status run_diff(std::string_view target, std::ostream& out);
Status run_backups(std::string_view target, std::ostream& out);

// A description broken at Unicode white space and filled greedily into lines
// of at most 72 characters; a longer word stands alone, uncut.
std::vector<std::string> wrap_words(std::string_view text);

}  // namespace velk
