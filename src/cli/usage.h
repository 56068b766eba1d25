// The texts the entry prints without running anything: the version line,
// the usage text and the help of each provider command.
#pragma once

#include <string>

#include "protocol/request.h"

namespace velk {

// "{program} {version}\n".
std::string version_text();
std::string usage_text();
// Ends with a line feed; printed as it is.
std::string provider_help(ProviderCommand command);

}  // namespace velk
