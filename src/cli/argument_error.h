// An error in the argument list. It is always printed on standard error with
// exit status 1, whatever protocol reason code it carries.
#pragma once

#include <optional>
#include <string>

#include "core/error.h"

namespace velk {

struct ArgumentError {
  std::string message;
  std::optional<ReasonCode> code;  // set where the protocol names one
  bool operator==(const ArgumentError&) const = default;
};

// An argument is a flag when it is at least two bytes long and begins "--".
inline bool is_flag(const std::string& argument) {
  return argument.size() >= 2 && argument[0] == '-' && argument[1] == '-';
}

}  // namespace velk
