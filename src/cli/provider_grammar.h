// The grammar of the provider protocol's commands: flags only, each with one
// value, "--json" always required, and pass-through arguments after a bare
// "--".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/argument_error.h"
#include "core/error.h"
#include "protocol/request.h"

namespace velk {

// Parses the arguments that follow the command word. The first failure
// decides the message.
Result<ProviderRequest, ArgumentError> parse_provider_request(ProviderCommand command,
                                                              std::span<const std::string> args);

// An unsigned decimal that fits 64 bits: ASCII digits with at most one
// leading "+". Anything else (also an empty text) gives nullopt.
std::optional<uint64_t> parse_byte_count(std::string_view text);

}  // namespace velk
