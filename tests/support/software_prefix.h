// Program-directory helpers: the stand-in artifacts of releases/ for the host.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"
#include "software/software.h"

namespace velk::testing {

// releases/{file name of the host build's address}.
std::string host_artifact(std::string_view version);

PlannedSoftware planned_software(std::string_view version);

Result<SoftwareApplyResult> install_version(const std::string& prefix, std::string_view version);

// The target of a symbolic link, or "" when the path is no link.
std::string link_target(const std::string& path);

}  // namespace velk::testing
