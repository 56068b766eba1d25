// The provider command table: each command's description, its required
// flags in order, and the optional flags its help lists. The grammar checks
// the required flags against it and the help text prints it.
#pragma once

#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/request.h"

namespace velk {

// The five flags that name a bundle together. An optional-flag row shows
// them as the one entry kBundleFlagsEntry; kPassThroughEntry is the row of a
// command that hands what follows a bare "--" to the product.
inline constexpr std::array<std::string_view, 5> kBundleClaimFlags = {
    "--bundle", "--bundle-format", "--bundle-digest", "--artifact-digest", "--bundle-size"};
inline constexpr std::string_view kBundleFlagsEntry = "--bundle \u2026";
inline constexpr std::string_view kPassThroughEntry = "-- <args>";

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

// Every flag `command` takes, in table order: the required ones, then the
// optional ones with the bundle entry spelled out as its five flags. The
// pass-through entry is not a flag and is left out.
std::vector<std::string_view> provider_command_flags(ProviderCommand command);

}  // namespace velk
