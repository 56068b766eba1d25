// Program-directory helpers for tests: the real stand-in artifact of the
// host build of a pinned version (from releases/), the plan a planner would
// make for it, and an install through the library.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"
#include "software/software.h"

namespace velk::testing {

// releases/{file name of the host build's address}.
std::string host_artifact(std::string_view version);

// The version with its host build, as a plan names them.
PlannedSoftware planned_software(std::string_view version);

// software_install of the version's host artifact under the prefix.
Result<SoftwareApplyResult> install_version(const std::string& prefix, std::string_view version);

// The target of a symbolic link, or "" when the path is no link.
std::string link_target(const std::string& path);

}  // namespace velk::testing
