// The operation id of a plan a user command makes: "operation_" and the 24
// hex digits that follow "sha256:" in the digest text of the seed
// "{provider id}:{target identity}:{seconds since 1970}".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velk {

std::string human_operation_id(std::string_view target_identity, int64_t unix_seconds);
// The same, with the current wall-clock time (0 before 1970).
std::string human_operation_id_now(std::string_view target_identity);

}  // namespace velk
